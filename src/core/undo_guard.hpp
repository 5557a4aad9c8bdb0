// Undo for one step of a change made of several steps.
//
// A change that appends to several containers must append to all of them or
// to none. Each step that succeeded arms a guard holding its undo; when a
// later step throws, the guards run their undos as the stack unwinds, newest
// first. Once every step has succeeded the guards are kept (disarmed).
// An undo runs in a destructor during unwinding, so it must not throw: undo
// with steps that cannot fail (pop_back of what was just pushed).
#pragma once

#include <utility>

namespace tessarin {

template <class Undo>
class UndoGuard {
public:
    explicit UndoGuard(Undo undo) : undo_(std::move(undo)) {}
    ~UndoGuard() {
        if (armed_) undo_();
    }
    UndoGuard(const UndoGuard&) = delete;
    UndoGuard& operator=(const UndoGuard&) = delete;

    void keep() { armed_ = false; }

private:
    Undo undo_;
    bool armed_ = true;
};

}  // namespace tessarin
