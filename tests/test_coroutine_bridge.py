"""C++ coroutines under asyncio: awaiting, results, errors, cancellation, closing, leaks."""

import asyncio
import collections.abc
import gc
import types
import weakref

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


AWAITING_CHAINS = [
    lambda awaitable: _bridge_probe.passthrough(awaitable),
    lambda awaitable: _bridge_probe.nested(awaitable, 2),
    lambda awaitable: _bridge_probe.passthrough(_bridge_probe.passthrough(awaitable)),
]


@pytest.mark.parametrize("make", AWAITING_CHAINS)
def test_task_cancel_cancels_the_awaited_future(make, run):
    async def scenario():
        future = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(make(future))
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


class ReEntering:
    """An awaitable whose step calls back into the coroutine that awaits it."""

    def __init__(self, operation):
        self.operation = operation
        self.coroutine = None
        self.refused = None

    def call_back(self):
        try:
            self.operation(self.coroutine)
        except ValueError as error:
            self.refused = error

    def __await__(self):
        self.call_back()
        try:
            yield "first"
        finally:
            if self.refused is None:
                self.call_back()
        return "done"


REENTRY = {
    "send": lambda coroutine: coroutine.send(None),
    "throw": lambda coroutine: coroutine.throw(KeyError("inside")),
    "close": lambda coroutine: coroutine.close(),
}


@pytest.mark.parametrize("operation", REENTRY)
@pytest.mark.parametrize("depth", [None, 0, 2])
def test_a_coroutine_cannot_be_reentered_from_the_step_it_runs(operation, depth):
    awaitable = ReEntering(REENTRY[operation])
    coroutine = _bridge_probe.passthrough(awaitable) if depth is None else _bridge_probe.nested(awaitable, depth)
    awaitable.coroutine = coroutine
    assert coroutine.send(None) == "first"
    assert str(awaitable.refused) == "coroutine already executing"
    with pytest.raises(StopIteration) as stopped:
        coroutine.send(None)
    assert stopped.value.value == "done"


@pytest.mark.parametrize("operation", REENTRY)
def test_a_coroutine_cannot_be_reentered_while_it_closes_what_it_awaits(operation):
    awaitable = ReEntering(lambda coroutine: None)
    coroutine = _bridge_probe.passthrough(awaitable)
    awaitable.coroutine = coroutine
    coroutine.send(None)
    awaitable.operation = REENTRY[operation]
    coroutine.close()
    assert str(awaitable.refused) == "coroutine already executing"


class Suspended:
    def __await__(self):
        return (yield "first")


def test_throw_refuses_bad_arguments_and_leaves_the_coroutine_as_it_was():
    class Unsure(type):
        def __instancecheck__(cls, instance):
            raise LookupError("cannot tell")

    class Odd(Exception, metaclass=Unsure):
        pass

    coroutine = _bridge_probe.passthrough(Suspended())
    coroutine.send(None)
    with pytest.raises(TypeError, match="third argument must be a traceback"):
        coroutine.throw(ValueError, None, "not a traceback")
    with pytest.raises(LookupError, match="cannot tell"):
        coroutine.throw(Odd, "value")
    with pytest.raises(StopIteration) as stopped:
        coroutine.send("resumed")
    assert stopped.value.value == "resumed"


def test_throw_with_a_traceback_keeps_it():
    try:
        raise ValueError("with a past")
    except ValueError as error:
        traceback = error.__traceback__
    coroutine = _bridge_probe.passthrough(Suspended())
    coroutine.send(None)
    with pytest.raises(ValueError) as raised:
        coroutine.throw(ValueError, ValueError("thrown"), traceback)
    assert str(raised.value) == "thrown"
    frames = []
    tb = raised.value.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    assert traceback.tb_frame in frames


class ProbeError(Exception):
    pass


CPP_EXCEPTIONS = {
    "length_error": ValueError,
    "range_error": ValueError,
    "overflow_error": OverflowError,
    "domain_error": ValueError,
    "invalid_argument": ValueError,
    "out_of_range": IndexError,
    "bad_alloc": MemoryError,
    "runtime_error": RuntimeError,
    "key_error": KeyError,
    "probe_error": "ProbeError",
}


@pytest.mark.parametrize("kind, expected", CPP_EXCEPTIONS.items())
@pytest.mark.parametrize("driven_by", ["asyncio", "send"])
@pytest.mark.parametrize("suspends", [False, True])
def test_cpp_exceptions_become_the_python_types_nanobind_gives_them(kind, expected, driven_by, suspends, run):
    expected = getattr(_bridge_probe, expected) if isinstance(expected, str) else expected
    coroutine = _bridge_probe.throwing_cpp(kind, value_after_a_turn(None) if suspends else None)
    with pytest.raises(BaseException) as raised:
        if driven_by == "asyncio":
            run(coroutine)
        else:
            while True:
                coroutine.send(None)
    assert type(raised.value) is expected


def test_a_stop_iteration_thrown_in_cpp_is_not_a_return(run):
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        run(_bridge_probe.throwing_cpp("stop_iteration"))
    assert isinstance(raised.value.__cause__, StopIteration)


@pytest.mark.parametrize("depth", [0, 1, 3])
def test_nested_tasks_await_through_each_other(depth, run):
    async def now(value):
        return value

    assert run(_bridge_probe.nested(value_after_a_turn("deep"), depth)) == "deep"
    assert run(_bridge_probe.nested(now((1, 2)), depth)) == (1, 2)
    error = KeyError("inner")
    with pytest.raises(KeyError) as raised:
        run(_bridge_probe.nested(raise_after_a_turn(error), depth))
    assert raised.value is error
    assert run(_bridge_probe.catching_nested(raise_after_a_turn(ValueError("x")), depth)) == ("caught", "ValueError", "x")


def test_closing_a_nested_chain_closes_what_its_innermost_task_awaits():
    closed = []

    class Tracked:
        def __await__(self):
            try:
                yield "waiting"
            finally:
                closed.append(True)

    coroutine = _bridge_probe.nested(Tracked(), 3)
    assert coroutine.send(None) == "waiting"
    coroutine.close()
    assert closed == [True]


@pytest.mark.parametrize("make", AWAITING_CHAINS)
def test_an_abandoned_pending_task_is_collected_with_its_cycle(make):
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    future = loop.create_future()
    task = loop.create_task(make(future))
    loop.run_until_complete(asyncio.sleep(0))
    loop.close()
    collected = weakref.ref(future)
    del future, task
    gc.collect()
    assert collected() is None
