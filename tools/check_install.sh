#!/usr/bin/env bash
# Installs veltrax as a pip user does, and runs it once: from a clean clone of the committed tree,
# `python -m build --sdist`, then `pip wheel` of that sdist (pip's build isolation, as for
# `pip install .`), then the wheel into a fresh venv, where the demo shell answers one line and a
# library session one request. Nothing of the working tree or of .venv takes part.
set -euo pipefail
python=${PYTHON:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { echo "check_install: $*"; }

step "clean clone of $(git -C "$root" rev-parse --short HEAD)"
git clone --quiet --no-hardlinks "$root" "$work/clone"

step "sdist (python -m build --sdist)"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet --disable-pip-version-check build
"$work/tools/bin/python" -m build --sdist --outdir "$work/dist" "$work/clone" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; exit 1; }

step "wheel of the sdist (pip wheel, isolated build)"
"$work/tools/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$work/dist" \
  "$work"/dist/veltrax_kline-*.tar.gz

step "the wheel into a fresh venv"
"$python" -m venv "$work/user"
"$work/user/bin/python" -m pip install --quiet --disable-pip-version-check "$work"/dist/veltrax_kline-*.whl

step "the demo, once"
cd "$work"  # away from the source tree: what runs is what was installed
export VELTRAX_DATA_DIR="$work/data"
"$work/user/bin/veltrax" --demo -c "kline AAPL day 5"
"$work/user/bin/python" - <<'EOF'
from pathlib import Path

import corbel
import veltrax

shipped = Path(veltrax.__file__).parent
for typed in (shipped / "py.typed", shipped / "cmds/quotes/kline.pyi", shipped / "gateway/candle_store.pyi",
              Path(corbel.__file__).parent / "dualcache.pyi"):
    assert typed.is_file(), f"the wheel lacks {typed.name}"
with veltrax.Session(demo=True) as session:
    bars = session.kline("AAPL", "day", 20)
    assert len(bars) == 20 and bars.attrs["source"] == "ibkr", bars.attrs
    print(f"veltrax.Session: {len(bars)} daily bars of AAPL from the simulated broker")
EOF
step "ok"
