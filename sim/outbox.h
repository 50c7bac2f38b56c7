#pragma once

// Answers waiting to go out: each after its delay, its characters a gap apart, in order.

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

class Outbox
{
public:
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    // An answer given at `now` starts `delay` later, but never before the one ahead of it has
    // gone out, and then `gap` after its last character.
    void schedule(Clock::time_point now, std::string_view bytes, Ms delay, Ms gap);
    // The characters due by `now`, taken out.
    std::string takeDue(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;
    bool empty() const { return queue_.empty(); }

private:
    struct Due
    {
        Clock::time_point at;
        char c;
    };
    std::deque<Due> queue_;
};

} // namespace sim
