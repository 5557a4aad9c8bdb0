#include "python/shared.hpp"

#include <algorithm>
#include <atomic>

#include "python/class.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tessarin::py {
namespace {

thread_local PyThreadState* released_state = nullptr;
thread_local bool released_main = false;

}  // namespace

bool ObjectLock::available(bool exclusive) const {
    if (exclusive) return writer_ == 0 && readers_.empty();
    // Readers let a waiting writer go first, so a stream of reads cannot
    // starve a change.
    return writer_ == 0 && waiting_writers_ == 0;
}

void ObjectLock::take(bool exclusive, std::uint64_t thread) {
    if (exclusive) {
        writer_ = thread;
    } else {
        readers_.push_back(Reader{thread, 1});
    }
}

void ObjectLock::acquire(bool exclusive) {
    const std::uint64_t me = current_thread_token();
    std::unique_lock guard(mutex_);
    // This thread holds the lock already: never wait on itself.
    if (writer_ == me) raise(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
    const auto mine = std::find_if(readers_.begin(), readers_.end(), [&](const Reader& r) { return r.thread == me; });
    if (mine != readers_.end()) {
        if (exclusive) raise(PyExc_RuntimeError, "Already borrowed");
        ++mine->depth;  // a nested read, even past a waiting writer, which waits for this one
        return;
    }
    if (available(exclusive)) return take(exclusive, me);

    if (exclusive) ++waiting_writers_;
    // Undoes the count (and wakes readers held back by it) however the wait ends.
    struct WaitingWriter {
        ObjectLock& lock;
        bool counted;
        ~WaitingWriter() {
            if (!counted) return;
            --lock.waiting_writers_;
            lock.changed_.notify_all();
        }
    } waiting{*this, exclusive};
    for (;;) {
        bool taken = false;
        guard.unlock();
        {
            // The holder may need the interpreter lock to finish.
            ReleasedInterpreter released;
            guard.lock();
            taken = changed_.wait_for(guard, kLockPollSlice, [&] { return available(exclusive); });
            if (taken) {
                if (exclusive) {
                    --waiting_writers_;
                    waiting.counted = false;
                }
                take(exclusive, me);
            }
            // The interpreter lock is taken back without the object's mutex held.
            guard.unlock();
        }
        if (taken) return;
        if (PyErr_CheckSignals() != 0) {
            guard.lock();  // for the count's undoing
            throw ErrorAlreadySet{};
        }
        guard.lock();
    }
}

void ObjectLock::release(bool exclusive) noexcept {
    const std::uint64_t me = current_thread_token();
    {
        const std::lock_guard guard(mutex_);
        if (exclusive) {
            writer_ = 0;
        } else {
            const auto mine =
                std::find_if(readers_.begin(), readers_.end(), [&](const Reader& r) { return r.thread == me; });
            if (mine == readers_.end() || --mine->depth > 0) return;
            *mine = readers_.back();
            readers_.pop_back();
            if (!readers_.empty()) return;
        }
    }
    changed_.notify_all();
}

ReleasedInterpreter::ReleasedInterpreter() : outer_(released_state), outer_main_(released_main) {
    const bool main = on_main_thread();
    released_state = PyEval_SaveThread();
    released_main = main;
}

ReleasedInterpreter::~ReleasedInterpreter() {
    PyThreadState* state = released_state;
    released_state = outer_;
    released_main = outer_main_;
    PyEval_RestoreThread(state);
}

bool on_main_thread() {
    // The main thread's identifier, asked of the threading module once.
    static std::atomic<unsigned long> main_ident{0};
    unsigned long main = main_ident.load(std::memory_order_relaxed);
    if (main == 0) {
        const SavedError in_flight;
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        Ref thread = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref{};
        Ref ident = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "ident")) : Ref{};
        main = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            main = 0;
        }
        main_ident.store(main, std::memory_order_relaxed);
    }
    return main != 0 && PyThread_get_thread_ident() == main;
}

PyThreadState*& released_thread_state() noexcept { return released_state; }
bool released_on_main_thread() noexcept { return released_main; }

}  // namespace tessarin::py
