#include "python/errors.hpp"

#include <new>
#include <stdexcept>
#include <utility>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/snapshot_file.hpp"
#include "python/ref.hpp"
#include "python/shared.hpp"

namespace tessarin::py {

PyObject* panic_exception_type() {
    // One type for the whole process, so that an `except` clause written
    // against it keeps working whichever module instance raised it.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "tessarin_hdc.PanicException",
            "An internal fault inside a tessarin_hdc operation. It derives from BaseException so that\n"
            "`except Exception` does not swallow it; the object the operation ran on stays usable.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the pending error says why
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

namespace {

thread_local int signal_checks_held = 0;

bool signal_handler_raised() {
    if (signal_checks_held != 0) return false;
    PyThreadState*& saved = released_thread_state();
    if (saved == nullptr) return PyErr_CheckSignals() != 0;  // the interpreter lock is held
    // Work running without the interpreter lock: only the main thread runs
    // handlers, and it takes the lock back for the moment of the check. The
    // state is cleared meanwhile, so that a handler's own calls see the lock held.
    if (!released_on_main_thread()) return false;
    PyEval_RestoreThread(std::exchange(saved, nullptr));
    const bool raised = PyErr_CheckSignals() != 0;
    saved = PyEval_SaveThread();
    return raised;
}

}  // namespace

void connect_signal_check() noexcept { connect_cancel_hook(&signal_handler_raised); }

SignalChecksHeld::SignalChecksHeld() noexcept { ++signal_checks_held; }
SignalChecksHeld::~SignalChecksHeld() { --signal_checks_held; }

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic("an operation failed without saying why");
    } catch (const Cancelled&) {  // the handler's exception is pending
        if (!PyErr_Occurred()) set_panic("an operation was cancelled without saying why");
    } catch (const Fault& f) {
        set_panic(f.what());
    } catch (const InputError& e) {  // a refused value, its message whole
        const std::string& message = e.message();
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    } catch (const std::invalid_argument& e) {  // its kin: a refused value
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {  // a refused index or reference
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const FileError& e) {  // OSError picks its subclass (FileNotFoundError, ...) by errno
        Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isN", e.error_number(), e.what(),
                                                     PyUnicode_DecodeFSDefault(e.path().c_str())));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        set_panic(kCapacityOverflow);
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
}

namespace {

// Re-raises a pending error of exactly the kind `type` (or a subclass) as a
// new `type` whose message is "argument '<name>': <original message>".
void prefix_error(PyObject* type, const char* name) noexcept {
    if (!PyErr_ExceptionMatches(type)) return;
    SavedError original;
    PyObject* old_value = original.value();

    Ref text = old_value ? Ref::steal(PyObject_Str(old_value)) : Ref::steal(PyUnicode_FromString(""));
    Ref message = text ? Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get())) : Ref{};
    Ref replacement = message ? Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr)) : Ref{};
    if (replacement && old_value) {
        // SetCause steals its argument; GetCause returns a new reference or null.
        if (PyObject* cause = PyException_GetCause(old_value)) PyException_SetCause(replacement.get(), cause);
    }
    // Replaced either way: by the prefixed error, or, when building it failed,
    // by that failure, which is pending already.
    original.discard();
    if (replacement) PyErr_SetObject(type, replacement.get());
}

}  // namespace

void prefix_type_error(const char* name) noexcept { prefix_error(PyExc_TypeError, name); }

void prefix_value_error(const char* name) noexcept { prefix_error(PyExc_ValueError, name); }

}  // namespace tessarin::py
