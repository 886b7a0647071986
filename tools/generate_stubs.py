"""Typed stubs (.pyi) of the extension modules, made by nanobind's stubgen from the modules just built.

    python tools/generate_stubs.py BUILD_DIR OUTPUT_DIR

imports the modules built in BUILD_DIR under their package names (their Python packages from
python/ beside this file's folder) and writes one stub per module under OUTPUT_DIR, laid out as
the packages are. A module's stub shows what the module defines: names it took in from other
modules when it loaded (the kline module takes in the host's names and all of veltrax.helpers)
are left out, whatever they are. tools/stub_patterns.txt refines what the bindings cannot say.
"""

from __future__ import annotations

import importlib.abc
import importlib.machinery
import importlib.util
import re
import sys
import types
from pathlib import Path

# Module name -> the file name stem CMake gives its extension.
MODULES = {
    "corbel.dualcache": "dualcache",
    "veltrax.gateway.candle_store": "candle_store",
    "veltrax.cmds.quotes.kline": "kline",
}
SOURCE = Path(__file__).resolve().parent.parent
PATTERNS = Path(__file__).resolve().with_name("stub_patterns.txt")


class JustBuilt(importlib.abc.MetaPathFinder):
    """Finds the extension modules in the build directory and the Python packages in python/,
    ahead of whatever the environment has installed."""

    def __init__(self, build_dir: Path) -> None:
        self.extensions = {name: self.built(build_dir, stem) for name, stem in MODULES.items()}

    @staticmethod
    def built(build_dir: Path, stem: str) -> Path:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if (path := build_dir / f"{stem}{suffix}").exists():
                return path
        raise SystemExit(f"generate_stubs: no built module {stem} in {build_dir}")

    def find_spec(self, name, path=None, target=None):
        if name in self.extensions:
            loader = importlib.machinery.ExtensionFileLoader(name, str(self.extensions[name]))
            return importlib.util.spec_from_file_location(name, self.extensions[name], loader=loader)
        if "." not in name:
            return importlib.machinery.PathFinder.find_spec(name, [str(SOURCE / "python")])
        return None


def taken_in(module: types.ModuleType) -> list[str]:
    """Names of `module` that hold what another loaded module holds under the same name, or a
    module: what it imported rather than defined."""
    others = [other for other in list(sys.modules.values()) if other is not None and other is not module]
    names = []
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) == module.__name__:
            continue
        if isinstance(value, types.ModuleType) or any(
                vars(other).get(name, names) is value for other in others if hasattr(other, "__dict__")):
            names.append(name)
    return names


def main(argv: list[str]) -> int:
    from nanobind.stubgen import ReplacePattern, StubGen, load_pattern_file

    build_dir, output_dir = Path(argv[0]), Path(argv[1])
    sys.meta_path.insert(0, JustBuilt(build_dir))
    refinements = load_pattern_file(str(PATTERNS))
    for name in MODULES:
        module = importlib.import_module(name)
        left_out = [ReplacePattern(re.compile(rf"^{re.escape(name)}\.{re.escape(other)}$"), [], 0)
                    for other in taken_in(module)]
        stubs = StubGen(module, include_private=True, patterns=refinements + left_out, quiet=True)
        stubs.put(module)
        target = output_dir.joinpath(*name.split(".")).with_suffix(".pyi")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(stubs.get(), encoding="utf-8")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
