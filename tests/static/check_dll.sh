#!/bin/sh
# Static checks of the 32-bit Q48Reader.dll, which cannot run here: i386
# machine, exactly the five undecorated exports, imports only from system
# DLLs, and __stdcall with the right argument sizes (every export's first
# return pops its arguments; the compiled exports carry the decorated names).
# Usage: check_dll.sh <Q48Reader.dll> <i686 objdump> [exports object file]
# Exit 77 means skipped.
dll=$1
objdump=$2
object=$3

. "$(dirname "$0")/pe_common.sh"
pe_open "$dll" "$objdump"
echo "$details" | grep -q '^[[:space:]]*DLL[[:space:]]*$' || fail "not a DLL"

# The export name table: "[   n] name" lines after "[Ordinal/Name Pointer] Table".
exports=$(echo "$details" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]\{1,\}\([^[:space:]]*\)$/\1/p' | sort | tr '\n' ' ')
expected="zelListReaderCard zelReadCard zelReadCardType zelReadICCID zelWriteCard "
[ "$exports" = "$expected" ] || fail "exports are '$exports', expected '$expected'"

pe_system_imports "kernel32.dll msvcrt.dll user32.dll advapi32.dll gdi32.dll gdiplus.dll setupapi.dll winmm.dll ole32.dll oleaut32.dll shell32.dll ntdll.dll"

# __stdcall: the callee pops its arguments, so the first return of each
# export is "ret $N" with N the argument bytes (plain "ret" for none).
base=$(echo "$details" | sed -n 's/^ImageBase[[:space:]]*//p')
for entry in zelListReaderCard:0 zelReadCard:4 zelReadICCID:4 zelReadCardType:0 zelWriteCard:8; do
  name=${entry%%:*}
  bytes=${entry##*:}
  # "[k] +base[ m] RVA Export RVA" lines list the addresses by export index;
  # the name table gives the index of each name.
  index=$(echo "$details" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n "s/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]\{1,\}$name\$/\1/p")
  rva=$(echo "$details" | sed -n "s/^[[:space:]]*\[[[:space:]]*$index\][[:space:]]*+base\[[[:space:]]*[0-9]*\][[:space:]]*\([0-9a-fA-F]*\) Export RVA/\1/p")
  if [ -z "$index" ] || [ -z "$rva" ] || [ -z "$base" ]; then
    fail "cannot find the address of $name"
    continue
  fi
  start=$(printf '0x%x' $((0x$base + 0x$rva)))
  stop=$(printf '0x%x' $((0x$base + 0x$rva + 0x400)))
  ret=$("$objdump" -d --no-show-raw-insn --start-address="$start" --stop-address="$stop" "$dll" |
    grep -m1 -E '[[:space:]]ret[[:space:]]*(\$0x[0-9a-f]+)?[[:space:]]*$' | sed 's/.*ret[[:space:]]*//; s/[[:space:]]*$//')
  if [ "$bytes" -eq 0 ]; then want=""; else want=$(printf '$0x%x' "$bytes"); fi
  if [ "$ret" = "$want" ]; then
    echo "$name returns with 'ret $want'"
  else
    fail "$name returns with 'ret $ret', expected 'ret $want'"
  fi
done

# The compiled exports' decorated names, when the build tree is at hand.
if [ -n "$object" ] && [ -f "$object" ]; then
  symbols=$("$objdump" -t "$object") || fail "cannot read $object"
  for decorated in zelListReaderCard@0 zelReadCard@4 zelReadICCID@4 zelReadCardType@0 zelWriteCard@8; do
    echo "$symbols" | grep -q "[[:space:]]_$decorated\$" || fail "$object lacks _$decorated"
  done
  echo "$object: decorated names present"
elif [ -n "$object" ]; then
  echo "note: $object is missing; decorated names not checked"
fi

[ $failed -eq 0 ] && echo "$dll: i386 DLL, the five stdcall exports, system imports only"
exit $failed
