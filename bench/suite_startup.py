"""Start-up of the interactive shell to its first prompt, beside a bare Python start."""

from __future__ import annotations

import os
import sys
import tempfile
import time

import pexpect


def first_prompt(data_dir: str) -> float:
    env = dict(os.environ, VELTRAX_DATA_DIR=data_dir, PROMPT_TOOLKIT_NO_CPR="1")
    started = time.perf_counter()
    child = pexpect.spawn(sys.executable, ["-m", "veltrax", "--demo"], env=env, encoding="utf-8", timeout=30)
    child.expect("veltrax>")
    elapsed = time.perf_counter() - started
    child.sendcontrol("d")
    child.expect(pexpect.EOF)
    return elapsed


def bare_python() -> float:
    started = time.perf_counter()
    child = pexpect.spawn(sys.executable, ["-c", "pass"], timeout=30)
    child.expect(pexpect.EOF)
    return time.perf_counter() - started


def run(report) -> None:
    with tempfile.TemporaryDirectory() as data_dir:
        first_prompt(data_dir)  # warm the file system caches and the bytecode
        shell = min(first_prompt(data_dir) for _ in range(5))
        python = min(bare_python() for _ in range(5))
    report.add("shell start-up to first prompt", "python -c pass", python, shell)
