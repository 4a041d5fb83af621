#!/usr/bin/env bash
# Exits 0 when this host can run the 32-bit Windows programs: its kernel
# executes 32-bit x86 programs (some boot with ia32 emulation off; 32-bit
# Wine then fails with "Exec format error") and the 32-bit Wine is
# installed. 1 when it cannot; -v prints why. --kernel asks only about the
# kernel (the bootstrap decides by it whether to install the 32-bit Wine).
# The probe is a 93-byte i386 ELF that only calls exit(0), so it needs no
# 32-bit library.
set -uo pipefail
verbose=false kernel_only=false
for arg in "$@"; do
  case "$arg" in
    -v) verbose=true ;;
    --kernel) kernel_only=true ;;
    *) echo "host-runs-32bit: unknown argument $arg" >&2; exit 2 ;;
  esac
done
probe="$(mktemp "${TMPDIR:-/tmp}/zorvane-i386-probe.XXXXXX")"
trap 'rm -f "$probe"' EXIT
# ELF header, one PT_LOAD program header, then: xor ebx,ebx; mov eax,1; int 0x80
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'\
'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'\
'\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010'\
'\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000'\
'\000\020\000\000\061\333\270\001\000\000\000\315\200' >"$probe"
chmod +x "$probe"
if ! out="$("$probe" 2>&1)"; then
  $verbose && echo "${out:-the kernel does not run 32-bit x86 programs}" | sed 's/^.*: //' | head -1
  exit 1
fi
if ! $kernel_only && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  $verbose && echo "the 32-bit Wine (wine32:i386) is not installed; scripts/bootstrap.sh installs it when the mirror serves it"
  exit 1
fi
exit 0
