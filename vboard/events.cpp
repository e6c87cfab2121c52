#include "events.hpp"

namespace vboard {

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
    now_ = 0;
}

double Recorder::now() const
{
    std::lock_guard guard(lock_);
    return now_;
}

void Recorder::advance_to(double t)
{
    std::lock_guard guard(lock_);
    if (t > now_) {
        now_ = t;
    }
}

std::vector<Event> Recorder::events() const
{
    std::lock_guard guard(lock_);
    return events_;
}

std::vector<Event> Recorder::take_from(std::size_t& from) const
{
    std::lock_guard guard(lock_);
    std::vector<Event> fresh;
    if (from < events_.size()) {
        fresh.assign(events_.begin() + static_cast<std::ptrdiff_t>(from), events_.end());
        from = events_.size();
    }
    return fresh;
}

} // namespace vboard
