#!/bin/sh
# Static checks of a 32-bit Windows deliverable that cannot run here: i386
# machine, console subsystem, imports only from system DLLs, and a manifest
# that asks for no elevated rights.
# Usage: check_pe.sh <file.exe> <i686 objdump>. Exit 77 means skipped.
file=$1
objdump=$2

. "$(dirname "$0")/../static/pe_common.sh"
pe_open "$file" "$objdump"
echo "$details" | grep -q 'Subsystem[[:space:]]*00000003' || fail "not a console program"

pe_system_imports "kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll gdi32.dll shell32.dll ole32.dll oleaut32.dll ws2_32.dll comctl32.dll comdlg32.dll version.dll shlwapi.dll"

grep -aq 'requestedExecutionLevel level="asInvoker"' "$file" || fail "no manifest asking for the invoker's rights"
if grep -aqE 'level="(requireAdministrator|highestAvailable)"' "$file"; then
  fail "the manifest asks for elevated rights"
fi

[ $failed -eq 0 ] && echo "$file: i386 console program, system imports only, runs as invoker"
exit $failed
