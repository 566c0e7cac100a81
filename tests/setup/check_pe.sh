#!/bin/sh
# Static checks of a 32-bit Windows deliverable that cannot run here: i386
# machine, console subsystem, imports only from system DLLs, and a manifest
# that asks for no elevated rights.
# Usage: check_pe.sh <file.exe> <i686 objdump>. Exit 77 means skipped.
file=$1
objdump=$2

if [ ! -f "$file" ]; then
  echo "skipped: $file is missing (build the windows-x86 preset first)"
  exit 77
fi
if ! command -v "$objdump" >/dev/null 2>&1; then
  echo "skipped: $objdump is not installed"
  exit 77
fi

failed=0
fail() { echo "FAIL: $*"; failed=1; }

headers=$("$objdump" -f "$file") || { echo "FAIL: $objdump cannot read $file"; exit 1; }
details=$("$objdump" -p "$file") || { echo "FAIL: $objdump -p failed on $file"; exit 1; }

echo "$headers" | grep -q 'file format pei-i386' || fail "not a PE file for i386"
echo "$headers" | grep -q 'architecture: i386' || fail "machine is not i386"
echo "$details" | grep -q 'Subsystem[[:space:]]*00000003' || fail "not a console program"

imports=$(echo "$details" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll|gdi32.dll|shell32.dll|ole32.dll|oleaut32.dll|ws2_32.dll|comctl32.dll|comdlg32.dll|version.dll|shlwapi.dll)
      echo "imports $dll" ;;
    *) fail "imports $dll, which is not a system DLL" ;;
  esac
done

grep -aq 'requestedExecutionLevel level="asInvoker"' "$file" || fail "no manifest asking for the invoker's rights"
if grep -aqE 'level="(requireAdministrator|highestAvailable)"' "$file"; then
  fail "the manifest asks for elevated rights"
fi

[ $failed -eq 0 ] && echo "$file: i386 console program, system imports only, runs as invoker"
exit $failed
