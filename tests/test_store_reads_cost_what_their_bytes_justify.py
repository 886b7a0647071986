"""Reading a stored value costs what its bytes justify: no value, damaged or forged, crashes,
hangs or balloons the reader, and a long read lets other threads and Ctrl-C through."""

import _thread
import datetime as dt
import decimal
import faulthandler
import os
import random
import sys
import threading
import time

import pandas as pd
import pytest

import _codec_probe as codec

# `make sanitize` runs the fuzzer longer, with the sanitizers watching every read.
FUZZ_SECONDS = float(os.environ.get("VELTRAX_FUZZ_SECONDS", "2"))
BUDGET = 16 << 20
INTERESTING = [0, 1, 0x7F, 0x80, 0xFF, 2**31 - 1, 2**31, 2**32 - 1, 200_000_000, 2**63, 2**64 - 1]


def seeds() -> list[tuple[int, bytes]]:
    """(format version, body) of values of every layout: bar lists of each column kind, and pickles."""
    intraday = pd.DataFrame({
        "date": pd.date_range("2025-01-02 09:30", periods=4, freq="min"), "open": [1.5, None, 2.5, 3.0],
        "volume": pd.array([1, None, 3, 4], dtype="Int64"), "note": ["a", None, "é", ""],
        "flag": [True, False, None, True], "none": [None] * 4}).to_dict(orient="records")
    daily = [{"date": dt.date(2025, 1, 2 + n), "close": n + 0.5, "at": dt.datetime(2025, 1, 2, n),
              "mixed": n if n % 2 else float(n)} for n in range(3)]
    aware = [pd.Timestamp("2025-01-02 09:30", tz="America/New_York") + pd.Timedelta(minutes=n) for n in range(3)]
    values = [
        {"bars": intraday, "cached_at": 1.5}, daily, [{"date": stamp, "close": 1.0} for stamp in aware],
        (1, "a", dt.datetime(2025, 1, 2, tzinfo=dt.timezone.utc)), ({1, 2}, decimal.Decimal("1.5"), b"\x00"),
        {"nested": [[1, [2, None]], {"k": pd.NA}], "when": pd.Timestamp("2025-01-02 10:00")},
    ]
    return [(stored[2], stored[12:]) for stored in map(codec.encode, values)]


def mutated(rng: random.Random, body: bytes) -> bytes:
    data = bytearray(body)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(data) + 1)
        how = rng.randrange(5)
        if how == 0 and at < len(data):
            data[at] ^= 1 << rng.randrange(8)
        elif how == 1:
            width = rng.choice([1, 2, 4, 8])
            data[at:at + width] = (rng.choice(INTERESTING) % 256**width).to_bytes(width, "little")
        elif how == 2:
            data[at:at] = rng.randbytes(rng.randint(1, 8))
        elif how == 3:
            del data[at:at + rng.randint(1, 16)]
        else:  # a run of the value repeated: counts and nesting that the bytes still hold
            start = rng.randrange(len(data) + 1)
            data[at:at] = data[start:start + rng.randint(1, 64)]
    return bytes(data)


def test_mutated_values_are_read_within_budget_or_refused():
    rng = random.Random(19)
    corpus = seeds()
    deadline = time.monotonic() + FUZZ_SECONDS
    faulthandler.dump_traceback_later(60 + FUZZ_SECONDS, exit=True)  # a read that hangs ends the run, loudly
    try:
        tried = 0
        while time.monotonic() < deadline:
            version, body = rng.choice(corpus)
            body = mutated(rng, body)
            try:
                _, memory = codec.decode(codec.seal(body, rng.choice([version, 1, 2])), BUDGET)
            except (codec.FormatError, codec.UnknownFormat):
                continue
            finally:
                tried += 1
            assert memory <= BUDGET, body.hex()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert tried > 100


def test_a_long_read_lets_other_threads_run_and_ctrl_c_stop_it():
    stored = codec.encode([{"date": dt.date(2020, 1, 1), "close": n + 0.5, "volume": n} for n in range(200_000)])
    # Plain flags, not Events: Ctrl-C must never land inside a lock the test still needs. Setting
    # `reading` and calling the read are steps with no thread switch between them, so the other
    # thread sees the flag only when the read itself lets it run.
    reading, done = [False], [False]

    def interrupter():
        seen = 0
        while not done[0]:
            if reading[0]:
                seen += 1
                if seen == 3:
                    _thread.interrupt_main()

    # A thread that waits for the GIL gets it at the read's next pause, not 5 ms later, so the
    # read's pauses are counted whatever else the machine is doing.
    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=interrupter)
    thread.start()
    got = []
    try:
        with pytest.raises(KeyboardInterrupt):
            reading[0] = True
            got.append(codec.decode(stored, 1 << 30))
    finally:
        reading[0] = False
        done[0] = True
        thread.join()
        sys.setswitchinterval(switch_interval)
    assert got == []
