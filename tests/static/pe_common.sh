# Shared by the static checks of the 32-bit Windows deliverables (sourced).
# pe_open FILE OBJDUMP: skips (exit 77) when either is missing, fails when the
# file is no i386 PE; sets $headers and $details. pe_system_imports LIST:
# every imported DLL is one of the space-separated LIST (lower case).
failed=0
fail() { echo "FAIL: $*"; failed=1; }

pe_open() {
  if [ ! -f "$1" ]; then
    echo "skipped: $1 is missing (build the windows-x86 preset first)"
    exit 77
  fi
  if ! command -v "$2" >/dev/null 2>&1; then
    echo "skipped: $2 is not installed"
    exit 77
  fi
  headers=$("$2" -f "$1") || { echo "FAIL: $2 cannot read $1"; exit 1; }
  details=$("$2" -p "$1") || { echo "FAIL: $2 -p failed on $1"; exit 1; }
  echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE file for i386"
  echo "$headers" | grep -q 'architecture: i386' || fail "machine is not i386"
}

pe_system_imports() {
  imports=$(echo "$details" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$imports" ] || fail "no imports found"
  for pe_import in $imports; do
    lower=$(echo "$pe_import" | tr 'A-Z' 'a-z')
    case " $1 " in
      *" $lower "*) echo "imports $pe_import" ;;
      *) fail "imports $pe_import, which is not a system DLL" ;;
    esac
  done
}
