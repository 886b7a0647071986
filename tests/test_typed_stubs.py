"""The typed stubs shipped beside the extension modules: mypy reads the real signatures from them."""

import importlib.util
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import ROOT

MODULES = ("corbel.dualcache", "veltrax.gateway.candle_store", "veltrax.cmds.quotes.kline")

USAGE = """
    import asyncio
    import datetime
    from typing import Any, assert_type

    import pandas as pd

    import veltrax
    from corbel.dualcache import DualCache
    from veltrax.cmds.quotes import kline
    from veltrax.gateway.candle_store import KlineCache

    cache = KlineCache("/tmp/data")
    assert_type(cache.cache, DualCache)
    assert_type(KlineCache.count_key("SPY", "day", "none", 250), str)
    assert_type(cache.get("SPY:day:none:count_250"), list[Any] | None)
    assert_type(cache.try_larger_count("SPY", "day", "none", 100), list[Any] | None)
    assert_type(cache.invalidate("SPY"), int)
    assert_type(kline.PERIOD_MAP["day"], str)
    assert_type(kline.PERIOD_DEFAULT_COUNT["day"], int)
    assert_type("adj" in kline.ADJUST_KEYWORDS, bool)
    assert_type(kline._is_period("5m"), bool)
    assert_type(kline._parse_date("today"), datetime.date)
    assert_type(kline._get_cache(), KlineCache)
    assert_type(kline._candle_store, KlineCache | None)
    with veltrax.Session(demo=True, data_dir="/tmp/data") as session:
        assert_type(session.kline("AAPL", "5m", 200, datetime.date(2025, 1, 1)), pd.DataFrame)
    assert_type(veltrax.kline("AAPL"), pd.DataFrame)
    assert_type(veltrax.KlineError("failed").result, dict[str, Any] | None)

    async def request(op: kline.IOpKline) -> None:
        op.symbol, op.rest = "AAPL", ["day", "5"]
        assert_type(await op.run(), dict[str, Any])
        assert_type(await op._kline(None, op.rest), dict[str, Any])
        assert_type(await veltrax.kline_async("AAPL", "day", 5), pd.DataFrame)
"""

MISUSES = {
    'KlineCache.count_key("SPY", "day", "none", "250")': 'incompatible type "str"; expected "int"',
    'kline.PERIOD_MAP["day"] = "1 day"': "Unsupported target for indexed assignment",
    'kline.IOpKline(state=None, ib=None).rest = "day"': 'Incompatible types in assignment',
    'veltrax.Session(demo="yes")': 'incompatible type "str"; expected "bool"',
    'veltrax.kline("AAPL", 2.5)': 'incompatible type "float"',
}


def mypy(source: str, stub_root: Path) -> subprocess.CompletedProcess:
    usage = stub_root / "usage.py"
    usage.write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--follow-imports=silent", "--ignore-missing-imports",
         "--python-version", "3.11", str(usage)],
        capture_output=True, text=True, cwd=stub_root, env={"MYPYPATH": str(stub_root), "PATH": "/usr/bin:/bin"})


@pytest.fixture(scope="module")
def stub_root(tmp_path_factory):
    """The Python packages as they ship: the stubs beside where each extension module goes."""
    root = tmp_path_factory.mktemp("typed")
    for package in ("veltrax", "corbel"):
        shutil.copytree(ROOT / "python" / package, root / package,
                        ignore=shutil.ignore_patterns("__pycache__"))
    return root


def test_the_shipped_stubs_are_what_stubgen_makes_of_the_modules_built(tmp_path):
    built = tmp_path / "built"
    built.mkdir()
    for name in MODULES:
        module = Path(importlib.util.find_spec(name).origin)
        (built / module.name).symlink_to(module)
    made = subprocess.run([sys.executable, str(ROOT / "tools" / "generate_stubs.py"), str(built), str(tmp_path)],
                          capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    for name in MODULES:
        stub = Path(*name.split(".")).with_suffix(".pyi")
        assert (tmp_path / stub).read_text() == (ROOT / "python" / stub).read_text(), f"{stub}: run make stubs"


@pytest.mark.slow
def test_the_stubs_give_the_modules_their_types(stub_root):
    checked = mypy(USAGE, stub_root)
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.slow
def test_the_stubs_refuse_what_the_modules_refuse(stub_root):
    source = USAGE.split("\n    async def")[0] + "\n".join(f"\n    {line}" for line in MISUSES)
    checked = mypy(source, stub_root)
    for line, complaint in MISUSES.items():
        assert complaint in checked.stdout, (line, checked.stdout)
