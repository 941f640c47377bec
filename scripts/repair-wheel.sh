#!/usr/bin/env bash
# Repairs a freshly built wheel into DIST as manylinux, with the oldest policy its module
# allows: auditwheel reads the symbol versions the module needs and names that policy.
#
#   scripts/repair-wheel.sh WHEEL DIST
set -euo pipefail

wheel=$1 dist=$2
report=$(auditwheel show "$wheel")
echo "$report"
# "... is consistent with the following platform tag: "manylinux_2_34_x86_64"."
policy=$(tr '\n' ' ' <<<"$report" | grep -o '"manylinux_[0-9]*_[0-9]*_[a-z0-9_]*"' | head -1 | tr -d '"')
if [[ -z "$policy" ]]; then
  echo "error: auditwheel found no manylinux policy for $wheel" >&2
  exit 1
fi
# Replace an older wheel of the same version and processor.
base=${wheel##*/}
rm -f "$dist/${base%%-linux_*}"-*manylinux*.whl
auditwheel repair --plat "$policy" --only-plat -w "$dist" "$wheel"
auditwheel show "$dist"/"${base%%-linux_*}"-*"$policy"*.whl
