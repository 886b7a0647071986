"""Running the real shell as a subprocess, with the fake yfinance and a private data directory."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

FAKES = Path(__file__).parent / "fakes"


def shell_environment(data_dir: Path, **extra: str) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith(("VELTRAX_", "HTTPS_PROXY"))}
    env.update(VELTRAX_DATA_DIR=str(data_dir), PYTHONPATH=str(FAKES), FAKE_YFINANCE_LOG=str(data_dir / "downloads"))
    env.update(extra)
    return env


def veltrax(*args: str, data_dir: Path, stdin: str = "", timeout: float = 60, **extra: str):
    return subprocess.run([sys.executable, "-m", "veltrax", *args], input=stdin, capture_output=True, text=True,
                          timeout=timeout, env=shell_environment(data_dir, **extra))
