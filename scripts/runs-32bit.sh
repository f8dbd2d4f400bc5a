#!/bin/sh
# Exits 0 when this machine executes 32-bit x86 code, 1 when it does not (the kernel lacks
# IA32 emulation). The probe is a 96-byte static i386 ELF written here byte by byte
# (mov eax,1; mov ebx,42; int 0x80): no 32-bit compiler is needed. It must exit with 42.
set -u
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >"$dir/probe"
chmod +x "$dir/probe"
"$dir/probe" 2>/dev/null
[ $? -eq 42 ]
