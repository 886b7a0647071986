"""Shells on separate data directories (as on separate machines) share bars through one Redis: a
fetch on one is a cached answer on another, a session goes on while Redis is away and shares again
once it is back, and a password never shows in any output."""

from __future__ import annotations

import queue
import re
import threading
import time

import pytest

from shell_process import spawn, veltrax

PASSWORD = "desk-s3cret"


def status(done) -> list[str]:
    """The answer's status line, as its words: source, bars, times, fresh or cached, ..."""
    return done.stdout.rstrip("\n").splitlines()[-1].split(" · ")


def demo(data_dir, url: str, line: str, **extra: str):
    return veltrax("--demo", "--cache-url", url, "-c", line, data_dir=data_dir, **extra)


def shared_lines(text: str) -> list[str]:
    return [line for line in text.splitlines() if "shared cache" in line or "cache-url" in line or "CACHE_URL" in line]


def test_a_fetch_on_one_shell_is_a_cached_answer_on_another_and_a_drop_reaches_them_all(tmp_path,
                                                                                         start_redis_server):
    url = start_redis_server().url()
    fetched = demo(tmp_path / "a", url, "kline AAPL day 5")
    assert (fetched.returncode, status(fetched)[3]) == (0, "fresh"), fetched.stderr
    # The variable does what the flag does.
    shared = veltrax("--demo", "-c", "kline AAPL day 5", data_dir=tmp_path / "b", VELTRAX_CACHE_URL=url)
    assert [status(shared)[0], status(shared)[3]] == ["source: cache", "cached"]
    assert shared.stdout.splitlines()[:7] == fetched.stdout.splitlines()[:7]  # the same table
    # Fewer bars: cut from the larger shared entry (the listing sees it), then shared under their own key.
    fewer = demo(tmp_path / "c", url, "kline AAPL day 3")
    assert status(fewer)[:2] == ["source: cache", "3 bars"]

    overview = demo(tmp_path / "d", url, "cache").stdout.splitlines()
    assert overview[0].startswith("bar cache: 2 entries in ")
    assert f"  shared: {url}, ok" in overview and "  AAPL: day" in overview

    assert demo(tmp_path / "b", url, "cache drop AAPL").stdout == "removed 2 entries of AAPL\n"
    again = demo(tmp_path / "d", url, "kline AAPL day 5")
    assert status(again)[3] == "fresh"
    # A local copy elsewhere lasts as long as its own freshness.
    assert status(demo(tmp_path / "a", url, "kline AAPL day 3"))[0] == "source: cache"


class Session:
    """A piped shell session, fed one line at a time; its output read as it comes."""

    def __init__(self, *args: str, data_dir) -> None:
        self.process = spawn(*args, data_dir=data_dir)
        self.lines: queue.Queue[str] = queue.Queue()
        self.reader = threading.Thread(target=lambda: [self.lines.put(line) for line in self.process.stdout],
                                       daemon=True)
        self.reader.start()

    def ask(self, line: str, until=lambda text: text.startswith("source: ")) -> list[str]:
        """The lines written for `line`, up to the one `until` accepts."""
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        written = []
        while not written or not until(written[-1]):
            written.append(self.lines.get(timeout=30).rstrip("\n"))
        return written

    def end(self) -> tuple[int, str]:
        """Its input closed: its exit status and everything it wrote to standard error."""
        self.process.stdin.close()
        returncode = self.process.wait(timeout=30)
        self.reader.join(timeout=30)
        return returncode, self.process.stderr.read()

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


def test_a_session_answers_locally_while_redis_is_away_then_shares_again(tmp_path, start_redis_server):
    redis = start_redis_server()
    url = redis.url()
    with Session("--demo", "--cache-url", url, data_dir=tmp_path / "a") as session:
        assert session.ask("kline AAPL day 5")[-1].split(" · ")[3] == "fresh"

        redis.kill()
        assert session.ask("kline MSFT day 5")[-1].split(" · ")[3] == "fresh"
        assert session.ask("kline AAPL day 5")[-1].split(" · ")[:4:3] == ["source: cache", "cached"]
        overview = session.ask("cache", until=lambda line: line.startswith("  shared: "))
        assert re.fullmatch(rf"  shared: {url}, unavailable \(1 change to send it \(\d+ B\) when it is back; "
                            r"the counts above are this machine's\)", overview[-1]), overview[-1]

        redis.start()
        time.sleep(1.2)  # the first back-off
        assert session.ask("kline IBM day 5")[-1].split(" · ")[3] == "fresh"
        returncode, errors = session.end()
    assert returncode == 0, errors
    assert shared_lines(errors) == [f"WARNING: shared cache {url} unavailable: Connection refused; using the local cache"]
    assert "works again; sending it the 1 change made while it was away" in (tmp_path / "a" / "veltrax.log").read_text()

    # What it wrote while Redis was away reached it, as did what it wrote after.
    for line in ("kline MSFT day 5", "kline IBM day 5"):
        assert status(demo(tmp_path / "b", url, line))[3] == "cached", line


@pytest.mark.parametrize("url, says", [
    (lambda port: f"redis://:{PASSWORD}@127.0.0.1:{port}/0", None),
    (lambda port: f"redis://:wrong-{PASSWORD}@127.0.0.1:{port}/0",
     "unavailable: authentication refused: WRONGPASS invalid username-password pair or user is disabled."),
    (lambda port: f"rediss://:{PASSWORD}@127.0.0.1:{port}/0", "rediss:// (TLS) needs a hiredis with TLS support"),
    (lambda port: f"redis://:{PASSWORD}@127.0.0.1:{PASSWORD}/0", "the port must be a number from 1 to 65535"),
], ids=["right password", "wrong password", "TLS", "a password where the port goes"])
def test_a_password_never_reaches_the_terminal_or_the_log(tmp_path, start_redis_server, url, says):
    redis = start_redis_server(password=PASSWORD)
    url = url(redis.port)
    fetched = demo(tmp_path / "a", url, "kline AAPL day 5")
    # From the environment, as a desk would set it.
    other = veltrax("--demo", "-c", "kline AAPL day 5", data_dir=tmp_path / "b", VELTRAX_CACHE_URL=url)
    for done in (fetched, other):
        assert done.returncode == 0 and "AAPL day (5 bars)" in done.stdout, done.stderr
    assert status(other)[3] == ("cached" if says is None else "fresh")
    for done, where in ((fetched, "a"), (other, "b")):
        said = shared_lines(done.stderr)
        assert said == [] if says is None else (len(said) == 1 and says in said[0]), said
        assert PASSWORD not in done.stdout + done.stderr + (tmp_path / where / "veltrax.log").read_text()


def test_simulated_bars_are_never_shared_with_a_session_on_the_market(tmp_path, start_redis_server):
    redis = start_redis_server()
    url = redis.url()
    assert status(demo(tmp_path / "a", url, "kline AAPL day 5"))[3] == "fresh"
    market = veltrax("--cache-url", url, "-c", "kline AAPL day 5", data_dir=tmp_path / "b")  # the fake yfinance
    assert market.returncode == 0, market.stderr
    assert status(market)[::3] == ["source: yfinance", "fresh"]
    assert sorted(redis.command("KEYS", "*:count_5").splitlines()) == ["veltrax:kline:AAPL:day:none:count_5",
                                                               "veltrax:simulated:kline:AAPL:day:none:count_5"]
