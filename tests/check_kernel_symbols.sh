#!/usr/bin/env bash
# Each kernel unit (src/kernels.cpp compiled for one x86-64 level) defines
# its KernelSet and no external function. An external function, above all
# an inline function of a header that the linker merges with its namesakes
# (a weak symbol, "W"), could leave code of another unit calling a copy
# built for a level that the CPU lacks. External data that instrumented
# builds add (ODR indicators, type information) is harmless.
# Usage: tests/check_kernel_symbols.sh OBJECT...
set -euo pipefail
failed=0
for object in "$@"; do
  functions=$(nm --defined-only "$object" | awk '$2 ~ /^[TWi]$/ {print $2, $3}')
  if [ -n "$functions" ] || ! nm --defined-only "$object" | grep -Eq ' [DR] kKernels_[a-z0-9_]+$'; then
    echo "$object: expected its KernelSet and no external function; found:"
    printf '  %s\n' "$functions"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "kernel units: their KernelSet and no external function"
exit $failed
