"""veltrax.Session: the kline command from Python, answering with DataFrames, printing nothing."""

import asyncio
import datetime as dt
import logging
import os
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import veltrax
from veltrax import session as session_module
from veltrax.cmds.quotes import kline
from veltrax.dataframes import BAR_COLUMNS, bar_frame
from veltrax.session import command_words


HERE = os.path.basename(__file__)


@pytest.fixture
def simulated_yahoo(monkeypatch):
    """yfinance talking to a fresh simulated chart service, as a demo session sets it up: this
    process's yfinance is shared with the tests before, which leave it talking to services of theirs."""
    import yfinance

    from veltrax.demo import simulated_downloader_session
    from veltrax.downloader import configure_yfinance

    monkeypatch.setattr(session_module, "_downloader_feed", "the simulated chart service")
    monkeypatch.setattr(yfinance.cache, "set_cache_location", lambda folder: None)  # kept where the run put it
    configure_yfinance(yfinance, simulated_downloader_session())
    yfinance.data.YfData.cache_get.cache_clear()


@pytest.fixture
def demo(simulated_yahoo, tmp_path):
    with veltrax.Session(demo=True, data_dir=tmp_path) as session:
        yield session


def notes_of(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = call()
    return value, [(str(w.message), os.path.basename(w.filename)) for w in caught if w.category is veltrax.KlineWarning]


@pytest.mark.parametrize("words, attrs, zone", [
    (("AAPL", "day", 5), {"period": "day", "count": 5, "adjust": "none", "source": "ibkr"}, None),
    (("aapl", "5m", 3, "adj"), {"period": "5m", "count": 3, "adjust": "adj", "source": "ibkr"}, "US/Eastern"),
    (("AAPL", "intraday"), {"period": "intraday", "source": "ibkr"}, "US/Eastern"),
    (("AAPL", dt.date(2025, 1, 6), dt.date(2025, 1, 10), "day"),  # 4 sessions back from the end: none before the start
     {"period": "day", "start": "2025-01-06", "end": "2025-01-10", "source": "ibkr"}, None),
])
def test_a_fetch_then_a_cache_hit_give_the_same_frame(demo, capfd, words, attrs, zone):
    fetched = demo.kline(*words)
    hit = demo.kline(*words)
    assert fetched.attrs == {"symbol": "AAPL", "adjust": "none", "cached": False, "simulated": True, **attrs}
    assert hit.attrs == {**fetched.attrs, "source": "cache", "cached": True}
    pd.testing.assert_frame_equal(hit, fetched, check_flags=False)
    assert list(fetched.columns) == ["open", "high", "low", "close", "volume", "average", "barCount"]
    assert fetched.index.name == "date" and str(fetched.index.tz) == str(zone) and len(fetched) > 0
    assert capfd.readouterr() == ("", "")


def test_a_frame_is_what_pandas_makes_of_the_records():
    day = {"date": dt.date(2025, 1, 2), "open": 1.5, "high": 2.0, "low": 1.0, "close": 1.75, "volume": 100,
           "average": 1.6, "barCount": 7}
    minute = {**day, "date": pd.Timestamp("2025-01-02 09:30")}
    cases = {
        "daily": [day, {**day, "date": dt.date(2025, 1, 3)}],
        "intraday": [minute, {**minute, "date": pd.Timestamp("2025-01-02 09:31")}],
        "missing volume, yfinance's Adj Close": [{**day, "volume": pd.NA, "Adj Close": 1.7},
                                                 {**day, "date": dt.date(2025, 1, 3), "Adj Close": 1.8}],
        "a float among counts": [day, {**day, "date": dt.date(2025, 1, 3), "volume": 2.5}],
    }
    for name, bars in cases.items():
        expected = pd.DataFrame(bars)
        expected["date"] = pd.to_datetime(expected["date"])
        pd.testing.assert_frame_equal(bar_frame(bars), expected.set_index("date"), obj=name)
    empty = bar_frame([])
    assert empty.empty and isinstance(empty.index, pd.DatetimeIndex) and list(empty.columns) == list(BAR_COLUMNS)


def test_the_hour_repeated_as_clocks_go_back_stays_two_hours():
    bars = [{"date": pd.Timestamp(f"2025-11-02 0{hour}:30"), "close": 1.0} for hour in (0, 1, 1, 2)]
    times = bar_frame(bars, "US/Eastern").index
    assert times.is_monotonic_increasing and times[1] != times[2] and not times.hasnans


def test_a_failure_is_one_error_with_its_cause_and_the_commands_answer(demo, capfd):
    with pytest.raises(veltrax.KlineError) as raised:
        demo.kline("ZZAA", "day", 3)
    # (What yfinance makes of the unknown symbol depends on what it met before in this process.)
    failure, cause = str(raised.value).split("\n")
    assert failure == "kline ZZAA: No data returned" and cause.startswith("  the broker does not list ZZAA; yfinance")
    assert raised.value.result == {"error": "No data returned", "symbol": "ZZAA"}
    assert raised.value.__context__ is None and capfd.readouterr() == ("", "")


def test_notes_are_warnings_of_their_own_at_the_callers_line(demo):
    _, notes = notes_of(lambda: demo.kline("AAPL", "5min", 100))
    assert notes == [
        ("kline takes '5min' as the adjustment word (prices not adjusted): kline calls that period 5m", HERE),
        ("ignored: 100 (kline reads period, count, adj, in that order)", HERE)]
    async def cell():
        return await demo.kline_async("AAPL", "2025-01-02", "2025-01-08", "day", "adj")

    frame, notes = notes_of(lambda: asyncio.run(cell()))
    assert frame.attrs["source"] == "yfinance"
    assert [(text.split(":")[0], where) for text, where in notes] == [("gateway error 321", HERE)]


def test_a_libraries_line_from_outside_sessions_goes_where_it_went(demo, monkeypatch, capfd):
    monkeypatch.setattr(logging.getLogger("yfinance"), "propagate", False)  # as where logging is not set up
    logging.getLogger("yfinance").error("a line of the notebook's own yfinance use")
    assert capfd.readouterr().err == "a line of the notebook's own yfinance use\n"


@pytest.mark.parametrize("args, words", [
    (("AAPL", "5m", 200, "adj"), ["AAPL", "5m", "200", "adj"]),
    (("AAPL", dt.date(2025, 1, 1), np.int64(3)), ["AAPL", "2025-01-01", "3"]),
    (("AAPL 5m 200",), ["AAPL", "5m", "200"]),
    (("AAPL", True), TypeError), (("AAPL", 2.5), TypeError), (("AAPL", dt.datetime(2025, 1, 1)), TypeError),
    (("AAPL", "5m\x1b"), ValueError),
])
def test_words_are_the_shells(args, words):
    if isinstance(words, list):
        assert command_words(args[0], args[1:]) == words
    else:
        with pytest.raises(words):
            command_words(args[0], args[1:])


def test_a_plain_call_inside_a_running_loop_and_threads_sharing_a_session(demo):
    async def in_a_cell():
        plain = demo.kline("AAPL", "day", 5)
        awaited = await demo.kline_async("AAPL", "day", 5)
        return plain.attrs["source"], awaited.attrs["source"]

    assert asyncio.run(in_a_cell()) == ("ibkr", "cache")
    answers = []
    threads = [threading.Thread(target=lambda n=n: answers.append(len(demo.kline("MSFT", "day", 3 + n % 2))))
               for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(answers) == [3, 3, 3, 4, 4, 4]


def test_a_cancelled_task_cancels_its_request(simulated_yahoo, tmp_path):
    with veltrax.Session(demo=True, demo_fault="slow=1", data_dir=tmp_path) as slow:
        async def cancel_midway():
            task = asyncio.ensure_future(slow.kline_async("AAPL", "day", 5))
            await asyncio.sleep(0.1)
            task.cancel()
            started = time.monotonic()
            with pytest.raises(asyncio.CancelledError):
                await task
            return time.monotonic() - started

        assert asyncio.run(cancel_midway()) < 0.5
        assert slow.kline("AAPL", "day", 5).attrs["source"] == "ibkr"  # the cancelled one stored nothing


def test_sessions_apart_never_answer_from_each_others_cache_nor_change_the_process(simulated_yahoo, tmp_path):
    environment, routed = dict(os.environ), (kline._get_cache, kline.printFrame, kline.logger, warnings.showwarning)
    with veltrax.Session(demo=True, data_dir=tmp_path / "one") as one, \
            veltrax.Session(demo=True, data_dir=tmp_path / "two") as two:
        assert one.kline("AAPL", "day", 5).attrs["source"] == "ibkr"
        assert two.kline("AAPL", "day", 5).attrs["source"] == "ibkr"
        with veltrax.Session(demo=True, data_dir=tmp_path / "one") as again:
            assert again.kline("AAPL", "day", 5).attrs["source"] == "cache"
    assert dict(os.environ) == environment
    assert (kline._get_cache, kline.printFrame, kline.logger, warnings.showwarning) == routed
    assert kline._candle_store is None  # the shell's own cache was never made
    with pytest.raises(RuntimeError, match="closed"):
        one.kline("AAPL")


@pytest.mark.parametrize("options, error, match", [
    ({"demo": True, "gateway": "127.0.0.1:4002"}, ValueError, "gateway= is for sessions on the market"),
    ({"demo": True, "cache_url": "redis://127.0.0.1:6379/0"}, ValueError, "cache_url= is for"),
    ({"demo": True, "demo_fault": "sometimes"}, ValueError, "unknown feed fault"),
    ({"demo_fault": "empty", "gateway": ""}, ValueError, "demo_fault= needs demo=True"),
    ({"gateway": "nowhere"}, ValueError, "HOST:PORT"),
    ({"gateway": "", "cache_url": "rediss://cache.desk:6379/0"}, ValueError, "TLS"),
])
def test_a_session_that_cannot_be_made_says_why(tmp_path, monkeypatch, options, error, match):
    monkeypatch.setattr(session_module, "_downloader_feed", "the simulated chart service" if options.get("demo")
                        else "Yahoo")
    routed = kline._get_cache
    with pytest.raises(error, match=match):
        veltrax.Session(data_dir=tmp_path, **options)
    assert kline._get_cache is routed  # nothing left half open


def test_yfinance_serves_one_feed_a_process(tmp_path, monkeypatch):
    monkeypatch.setattr(session_module, "_downloader_feed", "the simulated chart service")
    with pytest.raises(RuntimeError, match="restart the kernel"):
        veltrax.Session(gateway="", data_dir=tmp_path)


def test_a_session_on_the_gateway(gateway, yf, tmp_path, monkeypatch):
    monkeypatch.setattr(session_module, "_downloader_feed", "Yahoo")
    with veltrax.Session(gateway=gateway.address, client_id=7, data_dir=tmp_path) as session:
        frame = asyncio.run(session.kline_async("AAPL", "5m", 20, "adj"))
        assert frame.attrs["source"] == "ibkr" and len(frame) == 20 and frame.index.tz is not None
        assert session.kline("AAPL", "5m", 20, "adj").attrs["source"] == "cache"
    assert len(gateway.historical) == 1 and yf.downloads == []


def test_a_gateway_that_does_not_answer_is_a_note_and_yfinance_answers(yf, tmp_path, monkeypatch):
    monkeypatch.setattr(session_module, "_downloader_feed", "Yahoo")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        session = veltrax.Session(gateway="127.0.0.1:1", data_dir=tmp_path)
    with session:
        assert [str(w.message).split(" (")[0] for w in caught] == [
            "gateway 127.0.0.1:1 did not answer: nothing listens on port 1"]
        assert session.kline("AAPL", "day", 5).attrs["source"] == "yfinance"


def test_sessions_of_a_desk_share_through_its_cache_url(start_redis_server, yf, tmp_path, monkeypatch):
    monkeypatch.setattr(session_module, "_downloader_feed", "Yahoo")
    url = start_redis_server().url()
    with veltrax.Session(gateway="", cache_url=url, data_dir=tmp_path / "one") as one, \
            veltrax.Session(gateway="", cache_url=url, data_dir=tmp_path / "two") as two:
        assert one.kline("AAPL", "day", 5).attrs["source"] == "yfinance"
        assert two.kline("AAPL", "day", 5).attrs["source"] == "cache"
    assert len(yf.downloads) == 1
