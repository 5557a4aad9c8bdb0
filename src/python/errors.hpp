// How failures cross the boundary. Inside the binding, a Python error that is
// already set travels as the C++ exception `ErrorAlreadySet`; engine faults
// travel as their own C++ exceptions. `translate_current_exception` is the one
// place where either becomes the pending Python exception.
#pragma once

#include <Python.h>

#include <string>

namespace tessarin::py {

// Thrown after a C API call failed and left its exception pending.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet when `p` is null (a failed C API call), else returns it.
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw ErrorAlreadySet{};
    return p;
}

// Takes the pending Python error (if any) aside for its own lifetime and makes
// it pending again at the end, so that work which must run with no error set
// (reporting another error, calling back into Python) neither sees nor loses
// the one in flight. Whatever that work leaves pending is replaced, as the
// interpreter itself does when it restores an error.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() {
        if (!discarded_) PyErr_Restore(type_, value_, traceback_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    // The saved exception as an instance (its type called if it was pending
    // unnormalised); null when no error was pending.
    PyObject* value() noexcept {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        return value_;
    }
    // Drops the saved error, for when it is being replaced: what is pending at
    // the end then stays pending.
    void discard() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
        discarded_ = true;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    bool discarded_ = false;
};

// The process-wide panic exception type (derives directly from BaseException),
// created on first need. Returns a borrowed reference, or null with an error set.
PyObject* panic_exception_type();

// Sets the panic exception with `message` as its single argument.
void set_panic(const std::string& message);

// Sets `type(message)` as the pending exception and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Must be called inside a catch block: converts the exception in flight into
// the pending Python exception (engine fault -> panic, bad_alloc -> MemoryError,
// an impossible length -> panic "capacity overflow", InputError or any other
// std::invalid_argument -> ValueError, std::out_of_range -> IndexError; a file's FileError -> OSError with its
// errno and file name; cancelled work keeps the exception the
// signal handler raised).
void translate_current_exception() noexcept;

// Connects the core's cancellation hook to the interpreter's signal check, so
// that long work runs pending signal handlers about once a millisecond and
// stops with their exception (KeyboardInterrupt for Ctrl-C) when one raises.
// The handlers run on the calling thread with the interpreter lock held, as at
// any point where Python code runs; only the main thread runs them. Work that
// runs without the interpreter lock (ReleasedInterpreter) is checked too: the
// main thread takes the lock back for the check, other threads go on.
void connect_signal_check() noexcept;

// While one lives on its thread, that thread's checks answer "go on" and run
// no handler: for work that reads a buffer Python code could change under it
// (a handler, or a thread it lets run), which must see no Python code at all.
class SignalChecksHeld {
public:
    SignalChecksHeld() noexcept;
    ~SignalChecksHeld();
    SignalChecksHeld(const SignalChecksHeld&) = delete;
    SignalChecksHeld& operator=(const SignalChecksHeld&) = delete;
};

// Runs `body` (which returns a new reference or null) and turns any C++
// exception into a pending Python exception and a null result. Every entry
// point from the interpreter goes through here.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Re-raises a pending TypeError as a new TypeError whose message is
// "argument '<name>': <original message>", keeping the original's cause.
// Errors of other types are left untouched.
void prefix_type_error(const char* name) noexcept;
// The same for a pending ValueError.
void prefix_value_error(const char* name) noexcept;

}  // namespace tessarin::py
