"""C++ coroutines under asyncio: awaiting, results, errors, cancellation, closing, leaks."""

import asyncio
import collections.abc
import gc
import types

import pytest

_bridge_probe = pytest.importorskip("_bridge_probe")


async def value_after_a_turn(value):
    await asyncio.sleep(0)
    return value


async def raise_after_a_turn(error):
    await asyncio.sleep(0)
    raise error


def test_asyncio_accepts_the_objects(run):
    async def scenario():
        assert await _bridge_probe.passthrough(value_after_a_turn(1)) == 1
        assert await asyncio.create_task(_bridge_probe.passthrough(value_after_a_turn(2))) == 2
        assert await asyncio.ensure_future(_bridge_probe.passthrough(value_after_a_turn(3))) == 3
        assert await asyncio.gather(*(_bridge_probe.passthrough(value_after_a_turn(i)) for i in range(5))) == list(range(5))
        return "done"

    assert run(scenario()) == "done"
    coroutine = _bridge_probe.returning(None)
    assert isinstance(coroutine, collections.abc.Coroutine) and asyncio.iscoroutine(coroutine)
    coroutine.close()


@pytest.mark.parametrize("value", [None, (1, 2), (), ValueError("a value, not an error"), [1], 0])
def test_return_values_arrive_unchanged(value, run):
    assert run(_bridge_probe.returning(value)) is value
    assert run(_bridge_probe.passthrough(value_after_a_turn(value))) is value


def test_awaits_chain_through_other_native_coroutines(run):
    inner = _bridge_probe.passthrough(value_after_a_turn("deep"))
    assert run(_bridge_probe.passthrough(_bridge_probe.passthrough(inner))) == "deep"


def test_python_exceptions_are_catchable_in_cpp_with_their_message(run):
    assert run(_bridge_probe.catching(raise_after_a_turn(KeyError("nope")))) == ("caught", "KeyError", "'nope'")
    assert run(_bridge_probe.catching(raise_after_a_turn(RuntimeError("gateway down")))) == (
        "caught", "RuntimeError", "gateway down")
    assert run(_bridge_probe.catching(value_after_a_turn(7))) == ("ok", 7)


def test_uncaught_exceptions_leave_as_the_same_object(run):
    error = LookupError("missing")
    with pytest.raises(LookupError) as raised:
        run(_bridge_probe.passthrough(raise_after_a_turn(error)))
    assert raised.value is error
    with pytest.raises(LookupError) as raised:
        run(_bridge_probe.raising(error))
    assert raised.value is error


def test_stop_iteration_inside_the_body_is_not_a_return(run):
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        run(_bridge_probe.raising(StopIteration(5)))


def test_awaiting_something_not_awaitable_is_a_type_error(run):
    assert run(_bridge_probe.catching(42)) == ("caught", "TypeError", "object int can't be used in 'await' expression")


def test_task_cancel_cancels_the_awaited_future(run):
    async def scenario():
        future = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(_bridge_probe.passthrough(future))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return future

    assert run(scenario()).cancelled()


def test_cancellation_is_catchable_but_not_ordinary(run):
    async def scenario():
        task = asyncio.create_task(_bridge_probe.catching(asyncio.sleep(30)))
        await asyncio.sleep(0)
        task.cancel()
        return await task

    assert run(scenario()) == ("caught", "CancelledError", "")


def test_throw_goes_to_an_iterator_that_handles_it():
    class Forgiving:
        def __await__(self):
            try:
                yield "first"
            except ValueError:
                return "handled"

    coroutine = _bridge_probe.passthrough(Forgiving())
    assert coroutine.send(None) == "first"
    with pytest.raises(StopIteration) as stopped:
        coroutine.throw(ValueError("x"))
    assert stopped.value.value == "handled"


def test_finished_and_closed_coroutines_refuse_reuse():
    coroutine = _bridge_probe.returning(1)
    with pytest.raises(StopIteration):
        coroutine.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coroutine.send(None)

    closed_iterators = []

    class Tracked:
        def __await__(self):
            try:
                yield None
            finally:
                closed_iterators.append("closed")

    coroutine = _bridge_probe.passthrough(Tracked())
    coroutine.send(None)
    coroutine.close()
    assert closed_iterators == ["closed"]
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coroutine.send(None)
    coroutine.close()


def test_just_started_coroutines_take_only_none_and_die_of_a_throw():
    coroutine = _bridge_probe.returning(1)
    with pytest.raises(TypeError, match="non-None"):
        coroutine.send(5)
    coroutine = _bridge_probe.returning(1)
    with pytest.raises(KeyError):
        coroutine.throw(KeyError("k"))
    with pytest.raises(RuntimeError):
        coroutine.send(None)


def test_abandoned_coroutines_release_what_they_hold():
    class Awaitable:
        def __await__(self):
            yield None

    marker = Awaitable()
    holder = types.SimpleNamespace()
    coroutine = _bridge_probe.passthrough(marker)
    coroutine.send(None)
    del coroutine, holder
    gc.collect()
    import sys

    assert sys.getrefcount(marker) == 2


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def test_many_awaits_keep_memory_flat(run):
    async def scenario():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        done.set_result("x" * 100)
        # Awaits that finish at once and awaits that suspend through the loop.
        await _bridge_probe.await_each(lambda: done, 100_000)
        await _bridge_probe.await_each(lambda: value_after_a_turn([1, 2, 3]), 5_000)
        before = rss_kib()
        for _ in range(3):
            await _bridge_probe.await_each(lambda: done, 100_000)
            await _bridge_probe.await_each(lambda: value_after_a_turn([1, 2, 3]), 5_000)
            await _bridge_probe.catching(raise_after_a_turn(ValueError("x" * 1000)))
        return rss_kib() - before

    assert run(scenario()) < 1024



def test_coroutines_carry_their_names_for_task_reprs(run):
    coroutine = _bridge_probe.returning(None)
    assert (coroutine.__name__, coroutine.__qualname__) == ("returning", "returning")
    coroutine.close()
