#!/usr/bin/env bash
# Exits 0 when this host can execute 32-bit x86 programs, 1 when it cannot
# (some kernels boot with ia32 emulation off; 32-bit Wine then fails with
# "Exec format error"). Prints the reason with -v. The probe is a 93-byte
# i386 ELF that only calls exit(0), so it needs no 32-bit library.
set -uo pipefail
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
if out="$("$probe" 2>&1)"; then
  exit 0
fi
if [ "${1:-}" = -v ]; then
  echo "${out:-the kernel does not run 32-bit x86 programs}" | sed 's/^.*: //' | head -1
fi
exit 1
