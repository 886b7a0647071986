"""Timing helpers and the report table of the benchmarks."""

from __future__ import annotations

import gc
import time
from dataclasses import dataclass, field
from typing import Any, Callable


def best_time(work: Callable[[], object], repeat: int = 5, min_batch_seconds: float = 0.05) -> float:
    """Seconds per call: best of `repeat` batches, each long enough to time reliably."""
    return best_times([work], repeat, min_batch_seconds)[0]


def best_times(works: list[Callable[[], object]], rounds: int = 5, min_batch_seconds: float = 0.05) -> list[float]:
    """Seconds per call of each work: their batches alternate, so that a busy machine slows
    them alike, and each keeps its best batch."""
    numbers = []
    for work in works:
        work()  # warm-up
        number = 1
        while True:
            start = time.perf_counter()
            for _ in range(number):
                work()
            if time.perf_counter() - start >= min_batch_seconds or number >= 1 << 20:
                break
            number *= 2
        numbers.append(number)
    best = [float("inf")] * len(works)
    for _ in range(rounds):
        for i, (work, number) in enumerate(zip(works, numbers)):
            start = time.perf_counter()
            for _ in range(number):
                work()
            best[i] = min(best[i], (time.perf_counter() - start) / number)
    return best


def best_first_time(make: Callable[[], Any], work: Callable[[Any], object], repeat: int = 7) -> float:
    """Seconds of work(made), best of `repeat`, each on a `made` just made (as a new process would have
    it: nothing in memory); making it, and releasing what it and the work gave, are left out."""
    best = float("inf")
    for _ in range(repeat + 1):  # the first is a warm-up
        made = make()
        started = time.perf_counter()
        result = work(made)
        best = min(best, time.perf_counter() - started)
        del result, made
        gc.collect()
    return best


def human(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


@dataclass
class Report:
    # (scenario, baseline, baseline figure, our figure, unit: None for seconds)
    rows: list[tuple[str, str, float, float, str | None]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def compare(self, scenario: str, baseline_name: str, baseline: Callable[[], object],
                ours: Callable[[], object], repeat: int = 5) -> float:
        """Time both in this run, alternately; returns baseline/ours (above 1: ours is faster)."""
        base, mine = best_times([baseline, ours], repeat)
        self.add(scenario, baseline_name, base, mine)
        return base / mine

    def add(self, scenario: str, baseline_name: str, baseline_seconds: float, our_seconds: float) -> None:
        self.rows.append((scenario, baseline_name, baseline_seconds, our_seconds, None))

    def add_counts(self, scenario: str, baseline_name: str, baseline: float, ours: float, unit: str) -> None:
        """A row of counts rather than times (fewer is better, as for times)."""
        self.rows.append((scenario, baseline_name, baseline, ours, unit))

    def note(self, text: str) -> None:
        self.notes.append(text)

    def print(self) -> None:
        header = ("scenario", "baseline", "baseline time", "ours", "ratio")
        def shown(figure: float, unit: str | None) -> str:
            return human(figure) if unit is None else f"{figure:.2f} {unit}"

        lines = [(s, b, shown(bt, unit), shown(ot, unit), f"{bt / ot:.2g}x" if ot else "-")
                 for s, b, bt, ot, unit in self.rows]
        widths = [max(len(str(row[i])) for row in [header, *lines]) for i in range(len(header))]
        for row in [header, tuple("-" * w for w in widths), *lines]:
            print(" | ".join(str(cell).ljust(width) for cell, width in zip(row, widths)))
        for text in self.notes:
            print(text)
