// A history that keeps at most `Limit` entries and drops its oldest entry to
// make room, in constant time whatever the limit. Memory is at most Limit
// entries; pushing may throw std::bad_alloc and then changes nothing.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

namespace tessarin {

template <class T, std::size_t Limit>
class BoundedHistory {
    static_assert(Limit > 0);

public:
    static constexpr std::size_t kLimit = Limit;

    // Appends `entry` as the newest; when that makes one too many, the oldest
    // goes and is handed back, so that running tallies can forget it.
    // Appending first means a failed append leaves the history as it was.
    std::optional<T> push(T entry) {
        entries_.push_back(std::move(entry));
        std::optional<T> dropped;
        if (entries_.size() > Limit) {
            dropped.emplace(std::move(entries_.front()));
            entries_.pop_front();
        }
        return dropped;
    }

    // Removes and returns the newest entry; nothing when the history is empty.
    std::optional<T> pop_newest() {
        if (entries_.empty()) return std::nullopt;
        std::optional<T> newest(std::move(entries_.back()));
        entries_.pop_back();
        return newest;
    }

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Oldest first.
    auto begin() const { return entries_.cbegin(); }
    auto end() const { return entries_.cend(); }
    // Newest first.
    auto newest_first_begin() const { return entries_.crbegin(); }
    auto newest_first_end() const { return entries_.crend(); }

private:
    std::deque<T> entries_;
};

}  // namespace tessarin
