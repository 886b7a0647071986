"""Start-up of the interactive shell to its first prompt, on a pty, beside its floor: asyncio and an
empty prompt_toolkit session, which any prompt of this kind needs."""

from __future__ import annotations

import os
import sys
import tempfile
import time

import pexpect

FLOOR = """\
import asyncio
from prompt_toolkit import PromptSession


async def main():
    try:
        await PromptSession().prompt_async("veltrax> ")
    except EOFError:
        pass


asyncio.run(main())
"""
ROUNDS = 7


def first_prompt(args: list[str], data_dir: str) -> float:
    """Seconds from spawning the process to its prompt on the screen."""
    # pexpect answers no cursor-position requests; without this the prompt waits for them.
    env = dict(os.environ, VELTRAX_DATA_DIR=data_dir, PROMPT_TOOLKIT_NO_CPR="1")
    # Both sides start from bytecode, as an installed shell does: the libraries have theirs from pip,
    # and the warm-up writes the shell's own even where the environment says not to.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    started = time.perf_counter()
    child = pexpect.spawn(sys.executable, args, env=env, encoding="utf-8", timeout=30, dimensions=(24, 80))
    child.expect("veltrax>")
    elapsed = time.perf_counter() - started
    child.sendcontrol("d")
    child.expect(pexpect.EOF)
    child.close()
    return elapsed


def run(report) -> None:
    with tempfile.TemporaryDirectory() as data_dir:
        floor_script = os.path.join(data_dir, "floor.py")
        with open(floor_script, "w") as out:
            out.write(FLOOR)
        shell, floor = ["-m", "veltrax", "--demo"], [floor_script]
        first_prompt(shell, data_dir)  # warm the file system caches and the bytecode
        first_prompt(floor, data_dir)
        # Alternated, so a busy moment of the machine falls on both alike.
        shells, floors = [], []
        for _ in range(ROUNDS):
            shells.append(first_prompt(shell, data_dir))
            floors.append(first_prompt(floor, data_dir))
    report.add("shell start-up to first prompt (pty)", "asyncio + empty prompt_toolkit session",
               min(floors), min(shells))
