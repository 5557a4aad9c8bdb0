#include "core/cancel.hpp"

#include <atomic>

namespace tessarin {
namespace {

std::atomic<CancelHook> cancel_hook{nullptr};

}  // namespace

void connect_cancel_hook(CancelHook hook) noexcept { cancel_hook.store(hook, std::memory_order_release); }

CancelHook connected_cancel_hook() noexcept { return cancel_hook.load(std::memory_order_acquire); }

void CancelPoll::poll_now() {
    budget_ = kCancelPollInterval;
    const CancelHook hook = connected_cancel_hook();
    if (hook != nullptr && hook()) throw Cancelled{};
}

}  // namespace tessarin
