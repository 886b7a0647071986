"""The cost of one cache hit of run() in instructions and Python allocations, under callgrind.

    .venv/bin/python -m bench.hit_cost [ours|plain]

runs the hit of the hit-path suite 0 and 2,000 times under valgrind's callgrind and prints the
difference per hit: instructions, calls of the object allocator, and the functions that cost most.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

HITS = 2000
# pymalloc's entry points: every object and small buffer Python allocates goes through one of them.
ALLOCATORS = ("_PyObject_Malloc", "_PyObject_Calloc")


def drive(which: str, hits: int) -> None:
    from bench import suite_hit_path as suite
    from loguru import logger
    from veltrax.cmds.quotes import kline
    from veltrax.gateway.candle_store import KlineCache

    logger.remove()
    with tempfile.TemporaryDirectory() as directory:
        cache = KlineCache(directory)
        cache.set(suite.KEY, [{"date": i, "close": float(i)} for i in range(250)])
        suite._candle_store = kline._candle_store = cache
        op = suite.command(kline.IOpKline if which == "ours" else suite.PlainKline)
        for _ in range(200):  # warm-up: caches, interned names, the store's memory level
            suite.finished(op.run())
        for _ in range(hits):
            suite.finished(op.run())


def profile(which: str, hits: int, out: str) -> dict[str, tuple[int, int]]:
    """Inclusive-free (self) instructions and call counts per function."""
    # One BLAS thread: numpy's idle workers would otherwise spin into the counts.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-m",
                    "bench.hit_cost", "--drive", which, str(hits)], check=True, capture_output=True, env=env)
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out],
                               check=True, capture_output=True, text=True).stdout
    costs: dict[str, tuple[int, int]] = {}
    for line in annotated.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\(.*?\)\s+\S*:(\S+)", line) or re.match(r"\s*([\d,]+)\s+\S*:(\S+)", line)
        if match:
            costs[match.group(2)] = (int(match.group(1).replace(",", "")), 0)
    total = re.search(r"([\d,]+) \(100.0%\)\s+PROGRAM TOTALS|([\d,]+)\s+PROGRAM TOTALS", annotated)
    program = int((total.group(1) or total.group(2)).replace(",", "")) if total else 0
    costs["PROGRAM TOTALS"] = (program, 0)
    return costs


def allocations(out: str) -> int:
    """Calls of the object allocator recorded in a callgrind file (its calls= lines)."""
    count = 0
    current_target = None
    names: dict[str, str] = {}
    with open(out) as data:
        for line in data:
            if line.startswith(("fn=", "cfn=")):
                ident, _, name = line.partition("=")[2].strip().partition(" ")
                if name:
                    names[ident] = name
                if line.startswith("cfn="):
                    current_target = names.get(ident, ident)
            elif line.startswith("calls=") and current_target in ALLOCATORS:
                count += int(line[6:].split()[0])
    return count


def main(argv: list[str]) -> int:
    if argv[:1] == ["--drive"]:
        drive(argv[1], int(argv[2]))
        return 0
    which = argv[0] if argv else "ours"
    with tempfile.TemporaryDirectory() as directory:
        base_out, hits_out = os.path.join(directory, "base.out"), os.path.join(directory, "hits.out")
        base, hits = profile(which, 0, base_out), profile(which, HITS, hits_out)
        per_hit = (hits["PROGRAM TOTALS"][0] - base["PROGRAM TOTALS"][0]) / HITS
        allocated = (allocations(hits_out) - allocations(base_out)) / HITS
        print(f"{which}: {per_hit:,.0f} instructions and {allocated:.1f} object allocations per hit")
        rows = sorted(((hits[name][0] - base.get(name, (0, 0))[0]) / HITS, name) for name in hits
                      if name != "PROGRAM TOTALS")
        for cost, name in reversed(rows[-25:]):
            print(f"{cost:10,.0f}  {name}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
