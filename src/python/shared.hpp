// The per-object lock of classes usable from any thread (Threading::Shared),
// and the scope that lets long engine work run without the interpreter lock.
//
// An instance's lock is a reader-writer lock that knows its holders: a thread
// that holds it and asks again (a signal handler running during a long call,
// a callback) is refused at once with the borrow errors of the thread-bound
// classes instead of waiting on itself; a thread that already reads may read
// again. Any other thread waits, with the interpreter lock released so the
// holder can finish, in slices of kLockPollSlice between which pending signal
// handlers run: Ctrl-C ends a wait with its KeyboardInterrupt.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tessarin::py {

inline constexpr std::chrono::milliseconds kLockPollSlice{5};

class ObjectLock {
public:
    // Takes the lock for the calling thread, which holds the interpreter lock
    // (and holds it again on return). Raises (ErrorAlreadySet) RuntimeError
    // "Already borrowed" when this thread holds the lock and asks to change,
    // "Already mutably borrowed" when it changes and asks to read, or the
    // exception of a signal handler that ran while waiting.
    void acquire(bool exclusive);
    // Gives the lock back; any thread state, any interpreter lock state.
    void release(bool exclusive) noexcept;

    class Hold {
    public:
        Hold(ObjectLock& lock, bool exclusive) : lock_(lock), exclusive_(exclusive) { lock_.acquire(exclusive_); }
        ~Hold() { lock_.release(exclusive_); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        ObjectLock& lock_;
        bool exclusive_;
    };

private:
    struct Reader {
        std::uint64_t thread;
        std::uint64_t depth;
    };
    // Under mutex_: whether this thread may take it now.
    bool available(bool exclusive) const;
    void take(bool exclusive, std::uint64_t thread);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t writer_ = 0;  // thread token of the exclusive holder, 0 if none
    std::vector<Reader> readers_;
    std::uint64_t waiting_writers_ = 0;
};

// Releases the interpreter lock for its lifetime. Work inside must not touch
// Python; the engines' cancel polls may still run signal handlers: on the
// main thread the hook takes the interpreter lock back for the moment of the
// check (see connect_signal_check).
class ReleasedInterpreter {
public:
    ReleasedInterpreter();
    ~ReleasedInterpreter();
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

private:
    PyThreadState* outer_;  // an enclosing scope's state (a handler's nested call)
    bool outer_main_;
};

// True when the calling thread, which holds the interpreter lock, is the
// interpreter's main thread (the one that runs signal handlers).
bool on_main_thread();

// The thread state this thread saved when it last released the interpreter
// lock through ReleasedInterpreter, and whether it is the main thread; null
// while it holds the lock. For the signal check only.
PyThreadState*& released_thread_state() noexcept;
bool released_on_main_thread() noexcept;

}  // namespace tessarin::py
