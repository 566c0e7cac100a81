#!/bin/sh
# Static checks of the 32-bit q48-service.exe, which cannot run here: i386
# machine, console subsystem, imports only from system DLLs.
# Usage: check_service_exe.sh <q48-service.exe> <i686 objdump>. Exit 77 means skipped.
. "$(dirname "$0")/../static/pe_common.sh"
pe_open "$1" "$2"
echo "$details" | grep -q 'Subsystem[[:space:]]*00000003' || fail "not a console program"
pe_system_imports "kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll gdi32.dll gdiplus.dll ole32.dll shell32.dll setupapi.dll winmm.dll ws2_32.dll mswsock.dll bcrypt.dll"
[ $failed -eq 0 ] && echo "$1: i386 console program, system imports only"
exit $failed
