#include "events.hpp"

#include <algorithm>
#include <cmath>

namespace vboard {

std::int64_t to_ns(double seconds)
{
    return std::llround(seconds * 1e9);
}

double to_seconds(std::int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

double time_of(const Event& event)
{
    return std::visit([](const auto& e) { return e.t; }, event);
}

void Recorder::record(Event event)
{
    {
        std::lock_guard guard(lock_);
        events_.push_back(std::move(event));
    }
    if (wake_) {
        wake_();
    }
}

void Recorder::clear()
{
    std::lock_guard guard(lock_);
    events_.clear();
    dropped_ = 0;
    now_ns_ = 0;
    if (shared_now_ != nullptr) {
        __atomic_store_n(shared_now_, now_ns_, __ATOMIC_RELEASE);
    }
}

void Recorder::share_clock(std::int64_t* shared)
{
    std::lock_guard guard(lock_);
    shared_now_ = shared;
    if (shared_now_ != nullptr) {
        __atomic_store_n(shared_now_, now_ns_, __ATOMIC_RELEASE);
    }
}

std::int64_t Recorder::now_ns() const
{
    std::lock_guard guard(lock_);
    return now_ns_;
}

void Recorder::advance_to(std::int64_t ns)
{
    std::lock_guard guard(lock_);
    if (ns > now_ns_) {
        now_ns_ = ns;
        if (shared_now_ != nullptr) {
            __atomic_store_n(shared_now_, now_ns_, __ATOMIC_RELEASE);
        }
    }
}

void Recorder::keep_all(bool keep)
{
    std::lock_guard guard(lock_);
    keep_all_ = keep;
}

std::vector<Event> Recorder::events() const
{
    std::lock_guard guard(lock_);
    return {events_.begin(), events_.end()};
}

std::size_t Recorder::count() const
{
    std::lock_guard guard(lock_);
    return dropped_ + events_.size();
}

std::vector<Event> Recorder::take_from(std::size_t& from, std::size_t until)
{
    std::lock_guard guard(lock_);
    std::vector<Event> fresh;
    until = std::min(until, dropped_ + events_.size());
    from = std::max(from, dropped_);
    if (from < until) {
        const auto first = events_.begin() + static_cast<std::ptrdiff_t>(from - dropped_);
        const auto last = events_.begin() + static_cast<std::ptrdiff_t>(until - dropped_);
        fresh.assign(first, last);
        from = until;
        if (!keep_all_) {
            events_.erase(events_.begin(), last);
            dropped_ = until;
        }
    }
    return fresh;
}

} // namespace vboard
