"""Run every benchmark suite (bench/suite_*.py) and print each scenario beside its baseline."""

import importlib
import pkgutil
import sys
from pathlib import Path

from loguru import logger

from bench.timing import Report


def main(argv: list[str]) -> int:
    logger.remove()  # log calls still run; their output would only blur the timings
    wanted = set(argv)
    report = Report()
    for info in sorted(pkgutil.iter_modules([str(Path(__file__).parent)]), key=lambda i: i.name):
        if info.name.startswith("suite_") and (not wanted or info.name[len("suite_"):] in wanted):
            importlib.import_module(f"bench.{info.name}").run(report)
    report.print()
    return 0


raise SystemExit(main(sys.argv[1:]))
