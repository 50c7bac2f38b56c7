#include "outbox.h"

#include <algorithm>

namespace sim {

void Outbox::schedule(Clock::time_point now, std::string_view bytes, Ms delay, Ms gap)
{
    if (bytes.empty())
        return;
    Clock::time_point at = now + delay;
    if (!queue_.empty())
        at = std::max(at, queue_.back().at + gap);
    for (char c : bytes) {
        queue_.push_back({at, c});
        at += gap;
    }
}

std::string Outbox::takeDue(Clock::time_point now)
{
    std::string due;
    while (!queue_.empty() && queue_.front().at <= now) {
        due += queue_.front().c;
        queue_.pop_front();
    }
    return due;
}

std::optional<Outbox::Clock::time_point> Outbox::nextDue() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().at;
}

} // namespace sim
