"""A compact candlestick chart for the terminal."""

from __future__ import annotations

import math
from typing import Sequence

HEIGHT = 12
UP, DOWN, RESET = "\x1b[32m", "\x1b[31m", "\x1b[0m"
AXIS = " ┤"


def buckets(size: int, width: int) -> list[range]:
    """Split `size` bars into at most `width` consecutive groups of near-equal length."""
    count = min(size, width)
    return [range(size * i // count, size * (i + 1) // count) for i in range(count)]


def candlestick_lines(opens: Sequence[float], highs: Sequence[float], lows: Sequence[float],
                      closes: Sequence[float], width: int = 80, height: int = HEIGHT,
                      color: bool = False) -> list[str]:
    """Rows of the chart, top first, none wider than `width`: price labels on the left, then one
    column per bar or group of bars. Nothing when not even one column fits beside the labels.

    Bars with a missing price are left out; a group spans the first open, highest high, lowest low
    and last close of its bars.
    """
    bars = [(o, h, l, c) for o, h, l, c in zip(opens, highs, lows, closes)
            if all(math.isfinite(x) for x in (o, h, l, c))]
    if not bars:
        return []
    top = max(bar[1] for bar in bars)
    bottom = min(bar[2] for bar in bars)
    span = (top - bottom) or 1.0
    label_width = max(len(f"{top:,.2f}"), len(f"{bottom:,.2f}"))
    room = width - label_width - len(AXIS)
    if room < 1:
        return []
    candles = [(bars[g[0]][0], max(bars[i][1] for i in g), min(bars[i][2] for i in g), bars[g[-1]][3])
               for g in buckets(len(bars), room)]

    def row_of(price: float) -> int:
        return min(height - 1, int((top - price) / span * (height - 1) + 0.5))

    grid = [[" "] * len(candles) for _ in range(height)]
    colors = []
    for x, (o, h, l, c) in enumerate(candles):
        for y in range(row_of(h), row_of(l) + 1):
            grid[y][x] = "│"
        body_top, body_bottom = row_of(max(o, c)), row_of(min(o, c))
        for y in range(body_top, body_bottom + 1):
            grid[y][x] = "█" if c >= o else "▒"
        colors.append(UP if c >= o else DOWN)

    lines = []
    for y, cells in enumerate(grid):
        price = top - span * y / (height - 1)
        label = f"{price:,.2f}".rjust(label_width) if y in (0, height // 2, height - 1) else " " * label_width
        body = "".join(f"{colors[x]}{cell}{RESET}" if color and cell != " " else cell for x, cell in enumerate(cells))
        lines.append(f"{label}{AXIS}{body}")
    return lines
