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


def veltrax(*args: str | bytes, data_dir: Path, stdin: str | bytes = "", timeout: float = 60, cwd: Path | None = None,
            **extra: str):
    """The shell's exit status and its output as text; `stdin` and arguments may be raw bytes."""
    done = subprocess.run([sys.executable, "-m", "veltrax", *args], capture_output=True, timeout=timeout, cwd=cwd,
                          input=stdin if isinstance(stdin, bytes) else stdin.encode(),
                          env=shell_environment(data_dir, **extra))
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode("utf-8", "replace"),
                                       done.stderr.decode("utf-8", "replace"))


def spawn(*args: str, data_dir: Path, **extra: str) -> subprocess.Popen:
    """The shell running, its input a pipe, its output and errors collected as text."""
    return subprocess.Popen([sys.executable, "-m", "veltrax", *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=shell_environment(data_dir, **extra))
