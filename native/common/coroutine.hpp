// C++20 coroutines that Python awaits, and that await Python awaitables.
//
// A function returning `Task` is a C++ coroutine whose body may `co_await` any
// Python awaitable (a coroutine, a Future, another wrapped Task) or another
// `Task`. Calling it creates the frame without running it; `wrap(task)` hands
// Python a `Coroutine` object that asyncio drives like a native coroutine
// (`await`, `create_task`, `ensure_future`).
//
// Each `co_await` on a Python awaitable drives the awaitable's iterator exactly
// as `yield from` does: what it yields goes up to the event loop unchanged, and
// the value of its StopIteration becomes the value of the `co_await`. A Python
// exception raised by the awaitable arrives as `nb::python_error` at the
// `co_await`; one the body does not catch leaves the coroutine unchanged.
//
// A `co_await` on a Task runs that task's body in place, without a Python
// object in between; whatever it waits on is waited on by the whole chain.
// Choose between Tasks in a plain function and await what it returns: g++ 12
// destroys the temporaries of a conditional expression under co_await twice.
//
// The frame never keeps a reference to what it awaits: awaitables are taken
// by rvalue and handed to the coroutine object, which shows them to Python's
// cycle collector. A reference left in a frame variable would be invisible to
// it and keep an abandoned task's cycle (task, future, coroutine) alive.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <utility>

namespace veltrax {

namespace nb = nanobind;

class Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // Suspends the chain of tasks on one Python awaitable until its iterator is exhausted.
    class PythonAwait {
    public:
        PythonAwait(promise_type &promise, nb::object iterator)
            : promise_(promise), iterator_(std::move(iterator)) {}
        bool await_ready() const noexcept { return false; }
        void await_suspend(Handle waiting) noexcept;
        nb::object await_resume();

    private:
        promise_type &promise_;
        nb::object iterator_;
    };

    // Runs another task's body in place; its result or failure becomes this co_await's.
    class NestedAwait {
    public:
        explicit NestedAwait(Handle inner) : inner_(inner) {}
        NestedAwait(NestedAwait &&other) noexcept : inner_(std::exchange(other.inner_, {})) {}
        NestedAwait(const NestedAwait &) = delete;
        ~NestedAwait();
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(Handle outer) noexcept;
        nb::object await_resume();

    private:
        Handle inner_;  // owned: destroyed with the awaiting frame
    };

    struct FinalAwait {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(Handle finished) noexcept;
        void await_resume() const noexcept {}
    };

    struct promise_type {
        // The outermost task of a chain, the one Python drives. Only its
        // fields below `root` describe the chain's suspension.
        promise_type *root = this;
        std::coroutine_handle<> continuation;  // the task awaiting this one, if nested

        nb::object awaited;                  // the iterator the chain is suspended on
        Handle waiting;                      // the task suspended on it
        nb::object delivered_value;          // its return value, for await_resume
        std::exception_ptr delivered_error;  // or the error it raised

        nb::object result;
        std::exception_ptr failure;

        Task get_return_object() { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        FinalAwait final_suspend() noexcept { return {}; }
        void return_value(nb::object value) { result = std::move(value); }
        void unhandled_exception() noexcept { failure = std::current_exception(); }
        PythonAwait await_transform(nb::object &&awaitable);
        NestedAwait await_transform(Task &&task) { return NestedAwait(task.release()); }
    };

    Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task &operator=(Task &&) = delete;
    Task(const Task &) = delete;
    ~Task();

    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// A Python awaitable as a Task, for a call site that awaits either kind.
Task as_task(nb::object awaitable);

// The Python face of a Task: an object with send/throw/close/__await__/__next__,
// registered as a collections.abc.Coroutine; `qualname` names it in reprs.
nb::object wrap(Task task, const char *qualname);

// Registers the Python type of wrapped tasks in `scope` (once per extension).
void register_coroutine_type(nb::module_ &scope);

// True for errors that `except Exception` would catch: cancellation, interrupts
// and exit requests are not ordinary and must never be absorbed.
bool is_ordinary(const nb::python_error &error);

// The message of an error as str(exception) shows it.
nb::str message_of(const nb::python_error &error);

}  // namespace veltrax
