#!/usr/bin/env bash
# Runs the pytest suite on a cross-built module with the target's own CPython under qemu.
#
#   scripts/emulated-pytest.sh QEMU ROOT MODULE WORKDIR [PYTEST ARGS...]
#
# ROOT is a root tree from scripts/target-python.sh; MODULE the cross-built libtacitor.so,
# with the companion's _native.so beside it.
# Children that the tests start with sys.executable go through the emulator as well: the
# host cannot run the target's binaries by itself.
set -euo pipefail

qemu=$1 root=$(cd "$2" && pwd) module=$3 work=$4
shift 4
repo=$(cd "$(dirname "$0")/.." && pwd)
python=$(cd "$root/usr/bin" && ls python3.[0-9]* | grep -E '^python3\.[0-9]+$' | sort -V | tail -1)
rm -rf "$work"
mkdir -p "$work/bin" "$work/site" "$work/run"
work=$(cd "$work" && pwd)

cat >"$work/bin/python" <<SCRIPT
#!/bin/sh
exec $(command -v "$qemu") -L "$root" "$root/usr/bin/$python" "\$@"
SCRIPT
chmod +x "$work/bin/python"
cat >"$work/site/sitecustomize.py" <<SCRIPT
import sys

sys.executable = "$work/bin/python"
SCRIPT

# The console scripts of pyproject.toml beside it, as pip would install them.
python3 - "$repo/pyproject.toml" "$work/bin" <<'SCRIPT'
import os, sys, tomllib

with open(sys.argv[1], "rb") as file:
    scripts = tomllib.load(file)["project"].get("scripts", {})
for name, target in scripts.items():
    module, function = target.split(":")
    path = os.path.join(sys.argv[2], name)
    with open(path, "w") as out:
        out.write(f'#!/bin/sh\nexec "$(dirname "$0")/python" -c "import sys; from {module} import '
                  f'{function}; sys.argv[0] = {name!r}; sys.exit({function}())" "$@"\n')
    os.chmod(path, 0o755)
SCRIPT

export PYTHONPATH="$work/site:$repo/python"
suffix=$("$work/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
cp "$module" "$work/site/tacitor$suffix"
# The companion package with its own native module, built beside the tacitor module; found
# before the sources' copy in $repo/python.
cp -r "$repo/python/tacitor_tools" "$work/site/"
cp "$(dirname "$module")/_native.so" "$work/site/tacitor_tools/_native$suffix"
cd "$work/run"
"$work/bin/python" -c 'import sys, numpy, tacitor; print(sys.version); print("numpy", numpy.__version__); print("tacitor:", tacitor.__file__)'
"$work/bin/python" -m pytest -q -p no:cacheprovider "$@"
