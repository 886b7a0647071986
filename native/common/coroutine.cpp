#include "common/coroutine.hpp"

#include <new>
#include <stdexcept>
#include <utility>

namespace veltrax {

namespace {

// Raises `exception` (an instance) as the current Python error and captures it.
std::exception_ptr error_from(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())),
                    exception.ptr());
    return std::make_exception_ptr(nb::python_error());
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
        if (nb::hasattr(iterator, "close")) iterator.attr("close")();
        return {Step::raised, {}, error_from(exception)};
    }
    if (!nb::hasattr(iterator, "throw")) return {Step::raised, {}, error_from(exception)};
    PyObject *out = PyObject_CallOneArg(iterator.attr("throw").ptr(), exception.ptr());
    if (out) return {Step::yielded, nb::steal(out), nullptr};
    nb::python_error error;
    if (error.matches(PyExc_StopIteration))
        return {Step::returned, error.value().attr("value"), nullptr};
    return {Step::raised, {}, std::make_exception_ptr(std::move(error))};
}

// The iterator that `await awaitable` would drive.
nb::object awaitable_iterator(nb::handle awaitable) {
    if (PyCoro_CheckExact(awaitable.ptr())) return nb::borrow(awaitable);
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
    nb::object exception;
    if (PyExceptionInstance_Check(type.ptr())) {
        if (!value.is_none())
            throw nb::type_error("instance exception may not have a separate value");
        exception = nb::borrow(type);
    } else if (PyExceptionClass_Check(type.ptr())) {
        if (PyObject_IsInstance(value.ptr(), type.ptr()) == 1)
            exception = nb::borrow(value);
        else if (value.is_none())
            exception = type();
        else if (PyTuple_Check(value.ptr()))
            exception = nb::steal(PyObject_Call(type.ptr(), value.ptr(), nullptr));
        else
            exception = type(value);
        if (!exception.is_valid()) throw nb::python_error();
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %.100s",
                     Py_TYPE(type.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!traceback.is_none()) PyException_SetTraceback(exception.ptr(), traceback.ptr());
    return exception;
}

// Leaves a bound method with `return value` semantics: StopIteration built from
// one argument, so that a tuple or an exception instance is not misread.
[[noreturn]] void raise_stop_iteration(nb::handle value) {
    if (value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, value.ptr()));
        if (!stop.is_valid()) throw nb::python_error();
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
    }
    throw nb::python_error();
}

// What one send() or throw() gave: a value yielded to the event loop, or the
// coroutine's return value. Failures leave as nb::python_error.
struct Outcome {
    bool finished;
    nb::object value;
};

// Sets the Python error a C++ exception stands for, as nanobind's own
// translation would: the body may throw either kind.
void set_python_error(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error &error) {
        error.restore();
    } catch (nb::builtin_exception &error) {
        PyObject *type = PyExc_RuntimeError;
        switch (error.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, error.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::invalid_argument &error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (std::domain_error &error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (std::out_of_range &error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in a coroutine");
    }
}

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
        if (!handle_) return;
        try {
            close();
        } catch (nb::python_error &error) {
            error.discard_as_unraisable("closing an abandoned coroutine");
        }
    }

    // The Python-level methods: a return value leaves as StopIteration.
    nb::object send(nb::handle value) { return returned_as_stop(advance(value, {})); }

    nb::str qualname() const { return qualname_; }
    nb::str name() const {
        return nb::str(nb::handle(qualname_).attr("rpartition")(".")[2]);
    }

    nb::object throw_(nb::handle type, nb::handle value, nb::handle traceback) {
        return returned_as_stop(advance(nb::none(), exception_instance(type, value, traceback)));
    }

    // One send() or throw() from the event loop: run the body until it either
    // finishes or waits on an awaitable that yields something to pass up.
    Outcome advance(nb::handle value, nb::object exception) {
        if (!handle_) throw std::runtime_error("cannot reuse already awaited coroutine");
        refuse_if_running();
        Task::promise_type &promise = handle_.promise();
        if (!started_) {
            started_ = true;
            if (exception.is_valid()) {
                handle_.destroy();
                handle_ = {};
                std::rethrow_exception(error_from(exception));
            }
            if (!value.is_none())
                throw nb::type_error("can't send non-None value to a just-started coroutine");
            resume();
        } else {
            Step step = exception.is_valid() ? throw_to(promise.awaited, exception)
                                             : send_to(promise.awaited, value);
            if (step.kind == Step::yielded) return {false, std::move(step.value)};
            deliver(promise, std::move(step));
        }
        while (!handle_.done()) {
            Step step = send_to(promise.awaited, nb::none());
            if (step.kind == Step::yielded) return {false, std::move(step.value)};
            deliver(promise, std::move(step));
        }
        return {true, finish()};
    }

    void close() {
        if (!handle_) return;
        refuse_if_running();
        nb::object awaited = std::move(handle_.promise().awaited);
        handle_.destroy();
        handle_ = {};
        if (awaited.is_valid() && nb::hasattr(awaited, "close")) awaited.attr("close")();
    }

private:
    void refuse_if_running() const {
        if (running_) throw nb::value_error("coroutine already executing");
    }

    void resume() {
        running_ = true;
        handle_.resume();
        running_ = false;
    }

    void deliver(Task::promise_type &promise, Step step) {
        promise.awaited.reset();
        promise.delivered_value = std::move(step.value);
        promise.delivered_error = std::move(step.error);
        resume();
    }

    static nb::object returned_as_stop(Outcome outcome) {
        if (!outcome.finished) return std::move(outcome.value);
        raise_stop_iteration(outcome.value);
    }

    // The return value, or the body's failure as a Python error.
    nb::object finish() {
        Task::promise_type &promise = handle_.promise();
        nb::object result = std::move(promise.result);
        std::exception_ptr failure = std::move(promise.failure);
        handle_.destroy();
        handle_ = {};
        if (!failure) return result;
        set_python_error(failure);
        nb::python_error error;
        if (!error.matches(PyExc_StopIteration)) throw error;
        // A StopIteration leaving the body would read as a return value.
        nb::object raised = nb::steal(PyObject_CallOneArg(
            PyExc_RuntimeError, nb::str("coroutine raised StopIteration").ptr()));
        PyException_SetCause(raised.ptr(), nb::borrow(error.value()).release().ptr());
        std::rethrow_exception(error_from(raised));
    }

    Task::Handle handle_;
    nb::str qualname_;
    bool started_ = false;
    bool running_ = false;
};

PyObject *await_self(PyObject *self) {
    Py_INCREF(self);
    return self;
}

// The send protocol asyncio and `await` use: a return value passes straight
// back, without a StopIteration to build and catch.
PySendResult send_without_stop(PyObject *self, PyObject *value, PyObject **result) {
    *result = nullptr;
    try {
        Outcome outcome = nb::inst_ptr<Coroutine>(self)->advance(value, {});
        *result = outcome.value.release().ptr();
        return outcome.finished ? PYGEN_RETURN : PYGEN_NEXT;
    } catch (...) {
        set_python_error(std::current_exception());
        return PYGEN_ERROR;
    }
}

// __name__ and __qualname__ as generators have them (asyncio shows them in
// task reprs); a type's own attribute of that name cannot be set after creation.
template <nb::str (Coroutine::*Field)() const>
PyObject *get_name(PyObject *self, void *) {
    if (!nb::inst_ready(self)) Py_RETURN_NONE;
    return (nb::inst_ptr<Coroutine>(self)->*Field)().release().ptr();
}

PyGetSetDef coroutine_names[] = {
    {"__name__", get_name<&Coroutine::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_name<&Coroutine::qualname>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_am_await, reinterpret_cast<void *>(await_self)},
    {Py_am_send, reinterpret_cast<void *>(send_without_stop)},
    {Py_tp_getset, coroutine_names},
    {0, nullptr},
};

}  // namespace

void Task::PythonAwait::await_suspend(Handle) noexcept {
    promise_.awaited = std::move(iterator_);
}

nb::object Task::PythonAwait::await_resume() {
    if (promise_.delivered_error) std::rethrow_exception(std::exchange(promise_.delivered_error, {}));
    return std::move(promise_.delivered_value);
}

Task::PythonAwait Task::promise_type::await_transform(nb::handle awaitable) {
    return PythonAwait(*this, awaitable_iterator(awaitable));
}

Task::~Task() {
    if (handle_) handle_.destroy();
}

nb::object wrap(Task task, const char *qualname) { return nb::cast(Coroutine(task.release(), qualname)); }

void register_coroutine_type(nb::module_ &scope) {
    nb::class_<Coroutine>(scope, "Coroutine", nb::type_slots(coroutine_slots),
                          "A coroutine implemented in C++; asyncio drives it like any other.")
        .def("send", &Coroutine::send, nb::arg("value").none())
        .def("throw", &Coroutine::throw_, nb::arg("type"), nb::arg("value").none() = nb::none(),
             nb::arg("traceback").none() = nb::none())
        .def("close", &Coroutine::close)
        .def("__next__", [](Coroutine &self) { return self.send(nb::none()); })
        .def("__await__", [](nb::handle self) { return nb::borrow(self); });
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(scope.attr("Coroutine"));
}

bool is_ordinary(const nb::python_error &error) { return error.matches(PyExc_Exception); }

nb::str message_of(const nb::python_error &error) { return nb::str(error.value()); }

}  // namespace veltrax
