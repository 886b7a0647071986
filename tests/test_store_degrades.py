"""A disk the store cannot use (something in the way, full, failing, read-only) makes it keep entries
in memory: it says so once, loses nothing it had stored, and writes back once the disk returns."""

import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import pytest

from corbel.dualcache import DualCache
from shell_process import veltrax

_store_faults = pytest.importorskip("_store_faults")


def entry(n: int) -> dict:
    return {"bars": [{"close": float(i), "volume": i} for i in range(n)], "cached_at": 1.0}


def warnings(log_lines) -> list[str]:
    return [message for level, message in log_lines if level == "WARNING"]


@pytest.fixture
def faults():
    yield _store_faults
    _store_faults.clear()


def in_the_way(directory: Path) -> None:
    """A directory where cache.db should be (the database, if any, gone)."""
    directory.mkdir(parents=True, exist_ok=True)
    for file in directory.glob("cache.db*"):
        file.unlink()
    (directory / "cache.db").mkdir()


@dataclass
class Trouble:
    make: Callable[[Path, Any], None]
    reads_go_on: bool  # entries stored before it stay readable meanwhile
    loses_the_file: bool
    said: str


TROUBLES = {
    "a directory in the place of cache.db": Trouble(
        lambda directory, faults: in_the_way(directory), False, True,
        "cannot be used (unable to open database file: Is a directory)"),
    "a full disk": Trouble(lambda directory, faults: faults.fail(str(directory), "full"), True, False,
                           "cannot be written (database or disk is full)"),
    "a read-only directory": Trouble(lambda directory, faults: faults.fail(str(directory), "read-only"), True, False,
                                     "cannot be written (unable to open database file)"),
    "a failing disk": Trouble(lambda directory, faults: faults.fail(str(directory), "io"), False, False,
                              "cannot be used (disk I/O error"),
}


@pytest.mark.parametrize("trouble", TROUBLES)
def test_the_store_keeps_serving_from_memory_and_says_so_once(tmp_path, faults, log_lines, trouble):
    trouble = TROUBLES[trouble]
    prefix, directory = f"{tmp_path}/", tmp_path / "kline"
    if trouble.reads_go_on:
        before = DualCache("kline", cachePrefix=prefix)
        before["before"] = entry(3)
        before.close()
    trouble.make(directory, faults)

    store = DualCache("kline", cachePrefix=prefix, memoryLimit=10**6)
    value = entry(5)
    for n in range(3):
        store[f"new{n}"] = value
    assert store.get("new0") is value and "new2" in store
    del store["new1"]
    assert store.get("new1") is None
    assert (store.get("before") == entry(3)) is trouble.reads_go_on
    assert store.keys() == [*(["before"] if trouble.reads_go_on else []), "new0", "new2"]
    stats = store.stats()
    assert stats["disk"] == ("read-only" if trouble.reads_go_on else "unavailable") and stats["memory_only"] == 2
    said = warnings(log_lines)
    assert len(said) == 1, said
    assert str(directory / "cache.db") in said[0] and trouble.said in said[0]


@pytest.mark.parametrize("trouble", TROUBLES)
def test_once_the_disk_returns_what_memory_kept_is_written_back(tmp_path, faults, log_lines, trouble):
    trouble = TROUBLES[trouble]
    prefix, directory = f"{tmp_path}/", tmp_path / "kline"
    before = DualCache("kline", cachePrefix=prefix)
    before["gone"] = before["kept"] = entry(2)
    before.close()
    trouble.make(directory, faults)
    store = DualCache("kline", cachePrefix=prefix, retryAfter=0)
    store["new"] = entry(4)
    del store["gone"]
    store.get("new")  # tried again at once: the trouble is still there, and nothing more is said
    assert len(warnings(log_lines)) == 1

    faults.clear()
    if (directory / "cache.db").is_dir():
        shutil.rmtree(directory / "cache.db")
    assert store.get("new") == entry(4)
    assert store.stats()["disk"] == "ok" and store.stats()["memory_only"] == 0
    assert any("works again; wrote 1 entries" in message for level, message in log_lines if level == "INFO")
    fresh = DualCache("kline", cachePrefix=prefix)
    assert fresh.get("new") == entry(4) and fresh.get("gone") is None
    assert (fresh.get("kept") == entry(2)) is not trouble.loses_the_file


def test_a_disk_that_can_be_read_again_is_read_while_writing_to_it_still_fails(tmp_path, faults):
    prefix, directory = f"{tmp_path}/", tmp_path / "kline"
    DualCache("kline", cachePrefix=prefix)["old"] = entry(2)
    faults.fail(str(directory), "io")
    store = DualCache("kline", cachePrefix=prefix, retryAfter=0)
    store["new"] = entry(3)
    assert store.get("old") is None
    faults.fail(str(directory), "full")  # readable again, but the write-back of "new" fails
    assert store.get("old") == entry(2) and store.get("new") == entry(3)
    assert store.stats()["disk"] == "read-only"


def test_a_write_that_reached_the_disk_survives_it_filling_up(tmp_path, faults):
    prefix = f"{tmp_path}/"
    store = DualCache("kline", cachePrefix=prefix)
    store["early"] = entry(3)
    faults.fail(str(tmp_path / "kline"), "full")
    store["late"] = entry(4)
    store["early"] = entry(5)  # the new value lives in memory; the old one stays on disk
    assert store.get("early") == entry(5) and store.get("late") == entry(4)
    assert DualCache("kline", cachePrefix=prefix).get("early") == entry(3)
    # A new value memory cannot hold either is a miss, never the older value read in its place.
    no_room = DualCache("kline", cachePrefix=prefix, memoryLimit=0)
    no_room["early"] = entry(6)
    assert no_room.get("early") is None and "early" not in no_room.keys()


def test_a_reopen_that_fails_is_tried_again(tmp_path, log_lines):
    directory = tmp_path / "kline"
    in_the_way(directory)
    store = DualCache("kline", cachePrefix=f"{tmp_path}/", retryAfter=0)
    for n in range(3):
        store[f"k{n}"] = n  # each operation tries the disk again, and fails again
    (directory / "cache.db").rmdir()
    store["k3"] = 3
    assert DualCache("kline", cachePrefix=f"{tmp_path}/").keys() == ["k0", "k1", "k2", "k3"]
    assert len(warnings(log_lines)) == 1


def test_a_directory_that_cannot_be_made_and_a_nul_in_the_path(tmp_path, log_lines):
    (tmp_path / "file").write_text("x")
    store = DualCache("kline", cachePrefix=f"{tmp_path}/file/")
    store["k"] = 1
    assert store.get("k") == 1
    assert str(tmp_path / "file" / "kline") in warnings(log_lines)[0]
    with pytest.raises(ValueError, match="NUL"):  # a caller's mistake, not the disk's
        DualCache("kline", cachePrefix=f"{tmp_path}/a\0b/")
    with pytest.raises(TypeError):
        store[1] = 1


def test_the_command_answers_when_its_cache_cannot_be_used_and_says_what_was_lost_as_it_exits(tmp_path):
    in_the_way(tmp_path / "simulated" / "cache-kline")
    for _ in range(2):  # the second answer comes from memory no more: a new process
        done = veltrax("--demo", "-c", "kline AAPL day 5", data_dir=tmp_path)
        assert done.returncode == 0, done.stderr
        assert "AAPL day (5 bars)" in done.stdout and "No data returned" not in done.stdout + done.stderr
        lines = [line for line in done.stderr.splitlines() if "cache store" in line]
        assert len(lines) == 2 and str(tmp_path / "simulated" / "cache-kline" / "cache.db") in lines[0]
        assert "as it closed (unable to open database file: Is a directory): lost entry 'AAPL:day:none:count_5'" \
            in lines[1]
    assert lines[1].removeprefix("WARNING: ") in (tmp_path / "veltrax.log").read_text()


def taken(directory: Path) -> int:
    """What the store's files take, as the fault VFS counts it."""
    return sum(file.stat().st_size for file in directory.glob("cache.db*") if not file.name.endswith("-shm"))


def test_a_small_disk_that_filled_up_takes_all_that_memory_kept_once_space_comes_back(tmp_path, faults):
    prefix, directory, room = f"{tmp_path}/", tmp_path / "kline", 3 * 2**20
    faults.quota(str(directory), room)
    store = DualCache("kline", cachePrefix=prefix, retryAfter=0)
    for n in range(15):
        store[f"early{n}"] = entry(100)
    faults.quota(str(directory), taken(directory))
    for n in range(300):
        store[f"late{n}"] = entry(100)
    faults.quota(str(directory), room)
    assert store.get("late0") == entry(100) and store.stats()["memory_only"] == 0
    store.close()
    assert len(DualCache("kline", cachePrefix=prefix).keys()) == 315


@pytest.mark.parametrize("huge_written", ["last", "first"])
def test_an_entry_the_disk_has_no_room_for_holds_up_none_of_the_others(tmp_path, faults, log_lines, huge_written):
    prefix, directory = f"{tmp_path}/", tmp_path / "kline"
    store = DualCache("kline", cachePrefix=prefix, retryAfter=0)
    store["first"] = entry(1)
    faults.quota(str(directory), taken(directory))
    small = {f"small{n}": entry(20) for n in range(50)}
    writes = [*small.items(), ("huge", entry(100_000))]
    for key, value in writes if huge_written == "last" else writes[::-1]:
        store[key] = value
    faults.quota(str(directory), taken(directory) + 2**20)  # room for all but the huge one
    assert store.get("small0") == entry(20)
    stats = store.stats()
    assert (stats["disk"], stats["memory_only"]) == ("ok", 1)
    store["after"] = entry(1)  # straight to the disk
    said = warnings(log_lines)
    assert len(said) == 2 and "has no room for entry 'huge' (1600066 bytes)" in said[1], said
    store.close()
    assert "as it closed (database or disk is full): lost entry 'huge'" in warnings(log_lines)[-1]
    assert DualCache("kline", cachePrefix=prefix).keys() == sorted(["after", "first", *small])


@pytest.mark.parametrize("space_back, ending", [(True, "close"), (True, "dropped"), (False, "close")])
def test_the_store_makes_a_last_attempt_as_it_closes_and_says_what_it_could_not_keep(
        tmp_path, faults, log_lines, space_back, ending):
    prefix, directory = f"{tmp_path}/", tmp_path / "kline"
    store = DualCache("kline", cachePrefix=prefix, retryAfter=3600)  # no write-back before it closes
    store["gone"] = entry(1)
    faults.fail(str(directory), "full")
    for n in range(30):
        store[f"k{n:02d}"] = entry(5)
    del store["gone"]
    if space_back:
        faults.clear()
    if ending == "close":
        store.close()
    else:
        del store
    keys = DualCache("kline", cachePrefix=prefix).keys()
    said = warnings(log_lines)
    if space_back:
        assert keys == [f"k{n:02d}" for n in range(30)] and len(said) == 1
        assert log_lines[-1] == ("INFO", f"The cache store {directory / 'cache.db'} took 30 entries kept in memory "
                                         "as it closed")
    else:
        assert keys == ["gone"] and len(said) == 2
        assert said[1] == (f"The cache store {directory / 'cache.db'} could not take what only memory held as it "
                           "closed (database or disk is full): lost 30 entries (4200 bytes): 'k29', 'k28', 'k27' "
                           "and 27 more; 1 removed entries may be read from it again")


@pytest.fixture
def small_disk(tmp_path):
    """A 4 MiB file system of its own: a tmpfs, where the tests may mount one (as root)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=True)


def fill(disk: Path) -> None:
    with open(disk / "filler", "wb", buffering=0) as filler:
        try:
            while filler.write(b"\0" * 4096):
                pass
        except OSError:  # no space left
            pass


@pytest.mark.parametrize("trouble, said", [
    ("read-only", "cannot be written (its directory cannot be written)"),
    ("full", "cannot be written (disk I/O error: No space left on device)"),
])
def test_the_command_answers_from_its_cache_on_a_read_only_or_full_disk(small_disk, trouble, said):
    assert veltrax("--demo", "-c", "kline AAPL day 5", data_dir=small_disk).returncode == 0
    if trouble == "read-only":
        subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    else:
        fill(small_disk)
    cached = veltrax("--demo", "-c", "kline AAPL day 5", data_dir=small_disk)
    fresh = veltrax("--demo", "-c", "kline MSFT day 5", data_dir=small_disk)
    assert (cached.returncode, fresh.returncode) == (0, 0), cached.stderr + fresh.stderr
    status = [done.stdout.splitlines()[-1].split(" · ") for done in (cached, fresh)]
    assert [(words[1], words[3]) for words in status] == [("5 bars", "cached"), ("5 bars", "fresh")]
    for done, lost in ((cached, []), (fresh, ["lost entry 'MSFT:day:none:count_5'"])):
        lines = [line for line in done.stderr.splitlines() if "cache store" in line]
        assert len(lines) == 1 + len(lost) and str(small_disk / "simulated" / "cache-kline" / "cache.db") in lines[0]
        assert said in lines[0] and all(words in line for words, line in zip(lost, lines[1:]))


def test_a_new_cache_in_a_directory_that_cannot_be_written_says_so(small_disk, log_lines):
    (small_disk / "kline").mkdir()
    subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    store = DualCache("kline", cachePrefix=f"{small_disk}/")
    store["new"] = entry(2)
    assert store.get("new") == entry(2)
    (said,) = warnings(log_lines)
    assert "cannot be used (its directory cannot be written: Read-only file system)" in said
