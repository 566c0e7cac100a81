#!/bin/sh
# Static checks of a 32-bit Windows deliverable that cannot run here: i386
# machine, console subsystem, imports only from system DLLs, and exactly one
# manifest, which asks for no rights (no trustInfo, no execution level), so
# that Windows offers an installer named setup elevation.
# Usage: check_pe.sh <file.exe> <i686 objdump>. Exit 77 means skipped.
file=$1
objdump=$2

. "$(dirname "$0")/../static/pe_common.sh"
pe_open "$file" "$objdump"
echo "$details" | grep -q 'Subsystem[[:space:]]*00000003' || fail "not a console program"

pe_system_imports "kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll gdi32.dll shell32.dll ole32.dll oleaut32.dll ws2_32.dll comctl32.dll comdlg32.dll version.dll shlwapi.dll"

# Resources of type 24 (RT_MANIFEST): one leaf per manifest, whatever its
# name or language.
manifests=$(echo "$details" | sed -n '/The .rsrc Resource Directory section/,/Resources start at/p' |
  awk '/^[0-9a-fA-F]+   Entry: /{type=$4} /Leaf:/ && type=="0x000018," {n++} END{print n+0}')
[ "$manifests" = 1 ] || fail "$manifests manifests, expected exactly one"
grep -aq 'urn:schemas-microsoft-com:asm.v1' "$file" || fail "no manifest text"
for word in trustInfo requestedPrivileges requestedExecutionLevel; do
  if grep -aq "$word" "$file"; then fail "the manifest has $word"; fi
done

[ $failed -eq 0 ] && echo "$file: i386 console program, system imports only, one manifest asking for no rights"
exit $failed
