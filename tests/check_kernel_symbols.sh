#!/usr/bin/env bash
# Each kernel unit (src/kernels.cpp compiled for one x86-64 level) may
# define exactly one external symbol, its KernelSet. Any other, above all an
# inline function of a header that the linker merges with its namesakes
# (weak, "W" or "V", or unique, "u"), could leave the baseline code calling
# a copy built for a level that the CPU lacks.
# Usage: tests/check_kernel_symbols.sh OBJECT...
set -euo pipefail
failed=0
for object in "$@"; do
  external=$(nm --defined-only "$object" | awk '$2 !~ /^[a-z]$/ || $2 ~ /^[uvw]$/ {print $2, $3}')
  count=$(printf '%s\n' "$external" | grep -c . || true)
  if [ "$count" -ne 1 ] || ! printf '%s\n' "$external" | grep -Eq '^[DR] kKernels_[a-z0-9_]+$'; then
    echo "$object: expected one external symbol, its KernelSet; found:"
    printf '  %s\n' "$external"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "kernel units: one external symbol each"
exit $failed
