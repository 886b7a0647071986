"""Where the shell keeps its files: the data directory of the bar cache, history and logs."""

from __future__ import annotations

import os
from pathlib import Path


def data_dir() -> Path:
    """VELTRAX_DATA_DIR when set (used as given), else ~/.veltrax: the bar cache's own rule."""
    configured = os.environ.get("VELTRAX_DATA_DIR")
    return Path(configured) if configured is not None else Path.home() / ".veltrax"


def bar_cache_dir() -> Path:
    """The bar cache's store directory: "cache-kline" in the data directory."""
    return data_dir() / "cache-kline"
