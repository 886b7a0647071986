#include "common/coroutine.hpp"

#include "common/python.hpp"

#include <stdexcept>
#include <utility>

namespace veltrax {

namespace {

[[noreturn]] void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// Raises `exception` (an instance) as the current Python error and captures it.
std::exception_ptr error_from(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    return std::make_exception_ptr(nb::python_error());
}

// getattr(object, name, None) that lets every error but AttributeError through.
nb::object optional_attr(nb::handle object, const char *name) {
    PyObject *value = PyObject_GetAttrString(object.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

// What one step of an awaited iterator produced.
struct Step {
    enum Kind { yielded, returned, raised } kind;
    nb::object value;
    std::exception_ptr error;
};

Step send_to(nb::handle iterator, nb::handle value) {
    PyObject *out = nullptr;
    switch (PyIter_Send(iterator.ptr(), value.ptr(), &out)) {
        case PYGEN_NEXT:
            return {Step::yielded, nb::steal(out), nullptr};
        case PYGEN_RETURN:
            return {Step::returned, nb::steal(out), nullptr};
        default:
            return {Step::raised, {}, std::make_exception_ptr(nb::python_error())};
    }
}

// `yield from` semantics of throw(): the awaited iterator gets the first chance
// to handle the exception; without a throw() of its own it is raised here.
Step throw_to(nb::handle iterator, nb::handle exception) {
    if (PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit)) {
        if (nb::object close = optional_attr(iterator, "close"); close.is_valid()) close();
        return {Step::raised, {}, error_from(exception)};
    }
    nb::object throw_method = optional_attr(iterator, "throw");
    if (!throw_method.is_valid()) return {Step::raised, {}, error_from(exception)};
    PyObject *out = PyObject_CallOneArg(throw_method.ptr(), exception.ptr());
    if (out) return {Step::yielded, nb::steal(out), nullptr};
    nb::python_error error;
    if (error.matches(PyExc_StopIteration))
        return {Step::returned, error.value().attr("value"), nullptr};
    return {Step::raised, {}, std::make_exception_ptr(std::move(error))};
}

// The iterator that `await awaitable` would drive.
nb::object awaitable_iterator(nb::object awaitable) {
    if (PyCoro_CheckExact(awaitable.ptr())) return awaitable;
    PyTypeObject *type = Py_TYPE(awaitable.ptr());
    unaryfunc get_await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!get_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
        throw nb::python_error();
    }
    nb::object iterator = nb::steal(get_await(awaitable.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    if (PyCoro_CheckExact(iterator.ptr()) || !PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.ptr())->tp_name);
        throw nb::python_error();
    }
    return iterator;
}

// Normalises the arguments of throw(type[, value[, traceback]]) to one instance.
nb::object exception_instance(nb::handle type, nb::handle value, nb::handle traceback) {
    if (!traceback.is_none() && !PyTraceBack_Check(traceback.ptr()))
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    nb::object exception;
    if (PyExceptionInstance_Check(type.ptr())) {
        if (!value.is_none())
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        exception = nb::borrow(type);
    } else if (PyExceptionClass_Check(type.ptr())) {
        int is_instance = PyObject_IsInstance(value.ptr(), type.ptr());
        if (is_instance < 0) throw nb::python_error();
        if (is_instance)
            exception = nb::borrow(value);
        else if (value.is_none())
            exception = nb::steal(PyObject_CallNoArgs(type.ptr()));
        else if (PyTuple_Check(value.ptr()))
            exception = nb::steal(PyObject_Call(type.ptr(), value.ptr(), nullptr));
        else
            exception = nb::steal(PyObject_CallOneArg(type.ptr(), value.ptr()));
        if (!exception.is_valid()) throw nb::python_error();
        if (!PyExceptionInstance_Check(exception.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type.ptr(), Py_TYPE(exception.ptr())->tp_name);
            throw nb::python_error();
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %.100s",
                     Py_TYPE(type.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!traceback.is_none() && PyException_SetTraceback(exception.ptr(), traceback.ptr()) != 0)
        throw nb::python_error();
    return exception;
}

// What one send() or throw() gave: a value yielded to the event loop, or the
// coroutine's return value. Failures leave as C++ exceptions.
struct Outcome {
    bool finished;
    nb::object value;
};

// Holds a coroutine's "running" flag for the whole of one operation on it, so
// that Python code run by that operation cannot re-enter it.
class RunningGuard {
public:
    explicit RunningGuard(bool &running) : running_(running) {
        if (running_) raise(PyExc_ValueError, "coroutine already executing");
        running_ = true;
    }
    ~RunningGuard() { running_ = false; }
    RunningGuard(const RunningGuard &) = delete;
    RunningGuard &operator=(const RunningGuard &) = delete;

private:
    bool &running_;
};

class Coroutine {
public:
    Coroutine(Task::Handle handle, const char *qualname) : handle_(handle), qualname_(qualname) {}
    Coroutine(Coroutine &&other) noexcept
        : handle_(std::exchange(other.handle_, {})),
          qualname_(std::move(other.qualname_)),
          started_(other.started_) {}
    Coroutine(const Coroutine &) = delete;
    Coroutine &operator=(const Coroutine &) = delete;
    ~Coroutine() {
        if (!handle_ || running_) return;
        try {
            close();
        } catch (nb::python_error &error) {
            error.discard_as_unraisable("closing an abandoned coroutine");
        } catch (...) {
            set_python_error(std::current_exception());
            PyErr_WriteUnraisable(nullptr);
        }
    }

    nb::str qualname() const { return qualname_; }
    nb::str name() const { return nb::str(nb::handle(qualname_).attr("rpartition")(".")[2]); }

    // One send() or throw() from the event loop: run the body until it either
    // finishes or waits on an awaitable that yields something to pass up.
    Outcome advance(nb::handle value, nb::object exception) {
        RunningGuard running(running_);
        if (!handle_) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        Task::promise_type &chain = handle_.promise();
        if (!started_) {
            started_ = true;
            if (exception.is_valid()) {
                std::exchange(handle_, {}).destroy();
                std::rethrow_exception(error_from(exception));
            }
            if (!value.is_none()) raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            handle_.resume();
        } else {
            Step step = exception.is_valid() ? throw_to(chain.awaited, exception)
                                             : send_to(chain.awaited, value);
            if (step.kind == Step::yielded) return {false, std::move(step.value)};
            deliver(chain, std::move(step));
        }
        while (!handle_.done()) {
            Step step = send_to(chain.awaited, nb::none());
            if (step.kind == Step::yielded) return {false, std::move(step.value)};
            deliver(chain, std::move(step));
        }
        return {true, finish()};
    }

    void close() {
        RunningGuard running(running_);
        if (!handle_) return;
        nb::object awaited = std::move(handle_.promise().awaited);
        std::exchange(handle_, {}).destroy();
        if (!awaited.is_valid()) return;
        if (nb::object close = optional_attr(awaited, "close"); close.is_valid()) close();
    }

    // What the chain holds that Python can see: the iterator it waits on, and
    // values in passing. Locals of the C++ frames are the caller's own.
    int traverse(visitproc visit, void *arg) const {
        if (!handle_) return 0;
        const Task::promise_type &chain = handle_.promise();
        Py_VISIT(chain.awaited.ptr());
        Py_VISIT(chain.delivered_value.ptr());
        Py_VISIT(chain.result.ptr());
        return 0;
    }

    // Breaks a reference cycle: drops the chain without running Python code
    // (finalize() has already closed what it awaited).
    void clear() {
        if (!handle_ || running_) return;
        nb::object awaited = std::move(handle_.promise().awaited);
        std::exchange(handle_, {}).destroy();
    }

private:
    void deliver(Task::promise_type &chain, Step step) {
        chain.awaited.reset();
        chain.delivered_value = std::move(step.value);
        chain.delivered_error = std::move(step.error);
        chain.waiting.resume();
    }

    // The return value, or the body's failure as a Python error.
    nb::object finish() {
        Task::promise_type &chain = handle_.promise();
        nb::object result = std::move(chain.result);
        std::exception_ptr failure = std::move(chain.failure);
        std::exchange(handle_, {}).destroy();
        if (!failure) return result;
        set_python_error(failure);
        // A StopIteration leaving the body would read as a return value.
        if (PyErr_ExceptionMatches(PyExc_StopIteration))
            nb::chain_error(PyExc_RuntimeError, "coroutine raised StopIteration");
        throw nb::python_error();
    }

    Task::Handle handle_;
    nb::str qualname_;
    bool started_ = false;
    bool running_ = false;
};

Coroutine &coroutine_of(PyObject *self) { return *nb::inst_ptr<Coroutine>(self); }

// Leaves a method with `return value` semantics: StopIteration built from one
// argument, so that a tuple or an exception instance is not misread.
void set_stop_iteration(nb::handle value) {
    if (value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (!stop) return;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
}

// send(), throw() and __next__ as Python calls them: a value yielded, or NULL
// with StopIteration (the return value) or the failure set. No C++ exception
// is thrown to leave the coroutine.
template <typename Operation>
PyObject *step_for_python(Operation &&operation) noexcept {
    try {
        Outcome outcome = operation();
        if (!outcome.finished) return outcome.value.release().ptr();
        set_stop_iteration(outcome.value);
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return nullptr;
}

PyObject *coroutine_send(PyObject *self, PyObject *value) {
    return step_for_python([&] { return coroutine_of(self).advance(value, {}); });
}

PyObject *coroutine_next(PyObject *self) {
    return step_for_python([&] { return coroutine_of(self).advance(Py_None, {}); });
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    if (count < 1 || count > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected between 1 and 3 arguments, got %zd", count);
        return nullptr;
    }
    return step_for_python([&] {
        nb::handle value = count > 1 ? args[1] : Py_None;
        nb::handle traceback = count > 2 ? args[2] : Py_None;
        return coroutine_of(self).advance(Py_None, exception_instance(args[0], value, traceback));
    });
}

PyObject *coroutine_close(PyObject *self, PyObject *) {
    try {
        coroutine_of(self).close();
        Py_RETURN_NONE;
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

// The send protocol asyncio and `await` use: a return value passes straight
// back, without a StopIteration to build and catch.
PySendResult coroutine_am_send(PyObject *self, PyObject *value, PyObject **result) {
    *result = nullptr;
    try {
        Outcome outcome = coroutine_of(self).advance(value, {});
        *result = outcome.value.release().ptr();
        return outcome.finished ? PYGEN_RETURN : PYGEN_NEXT;
    } catch (...) {
        set_python_error(std::current_exception());
        return PYGEN_ERROR;
    }
}

PyObject *await_self(PyObject *self) { return Py_NewRef(self); }

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return coroutine_of(self).traverse(visit, arg);
}

int coroutine_clear(PyObject *self) {
    if (nb::inst_ready(self)) coroutine_of(self).clear();
    return 0;
}

// An abandoned coroutine in a reference cycle is closed as a generator is:
// its frames unwind and the iterator it waited on is closed.
void coroutine_finalize(PyObject *self) {
    if (!nb::inst_ready(self)) return;
    nb::error_scope pending;  // a finalizer leaves the current exception as it was
    try {
        coroutine_of(self).close();
    } catch (nb::python_error &error) {
        error.discard_as_unraisable(self);
    } catch (...) {
        set_python_error(std::current_exception());
        PyErr_WriteUnraisable(self);
    }
}

// __name__ and __qualname__ as generators have them (asyncio shows them in
// task reprs); a type's own attribute of that name cannot be set after creation.
template <nb::str (Coroutine::*Field)() const>
PyObject *get_name(PyObject *self, void *) {
    if (!nb::inst_ready(self)) Py_RETURN_NONE;
    try {
        return (coroutine_of(self).*Field)().release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

PyGetSetDef coroutine_names[] = {
    {"__name__", get_name<&Coroutine::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_name<&Coroutine::qualname>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send($self, value, /)\n--\n\nSend a value into the coroutine; return the next value it "
     "yields, or raise StopIteration with its return value."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nRaise an exception in the coroutine; "
     "return the next value it yields, or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the coroutine and what it is waiting on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_am_await, reinterpret_cast<void *>(await_self)},
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
    {Py_tp_iternext, reinterpret_cast<void *>(coroutine_next)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_names},
    {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
    {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
    {0, nullptr},
};

}  // namespace

void Task::PythonAwait::await_suspend(Handle waiting) noexcept {
    promise_type &chain = *promise_.root;
    chain.awaited = std::move(iterator_);
    chain.waiting = waiting;
}

nb::object Task::PythonAwait::await_resume() {
    promise_type &chain = *promise_.root;
    if (chain.delivered_error) std::rethrow_exception(std::exchange(chain.delivered_error, {}));
    return std::move(chain.delivered_value);
}

Task::NestedAwait::~NestedAwait() {
    if (inner_) inner_.destroy();
}

std::coroutine_handle<> Task::NestedAwait::await_suspend(Handle outer) noexcept {
    promise_type &inner = inner_.promise();
    inner.root = outer.promise().root;
    inner.continuation = outer;
    return inner_;
}

nb::object Task::NestedAwait::await_resume() {
    promise_type &inner = inner_.promise();
    if (inner.failure) std::rethrow_exception(std::exchange(inner.failure, {}));
    return std::move(inner.result);
}

std::coroutine_handle<> Task::FinalAwait::await_suspend(Handle finished) noexcept {
    std::coroutine_handle<> continuation = finished.promise().continuation;
    return continuation ? continuation : std::noop_coroutine();
}

Task::PythonAwait Task::promise_type::await_transform(nb::object &&awaitable) {
    return PythonAwait(*this, awaitable_iterator(std::move(awaitable)));
}

Task as_task(nb::object awaitable) { co_return co_await std::move(awaitable); }

Task::~Task() {
    if (handle_) handle_.destroy();
}

nb::object wrap(Task task, const char *qualname) { return nb::cast(Coroutine(task.release(), qualname)); }

void register_coroutine_type(nb::module_ &scope) {
    nb::class_<Coroutine>(scope, "Coroutine", nb::type_slots(coroutine_slots),
                          "A coroutine implemented in C++; asyncio drives it like any other.");
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(scope.attr("Coroutine"));
}

bool is_ordinary(const nb::python_error &error) { return error.matches(PyExc_Exception); }

nb::str message_of(const nb::python_error &error) { return nb::str(error.value()); }

}  // namespace veltrax
