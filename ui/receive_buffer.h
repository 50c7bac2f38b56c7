// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The received characters, keeping only the newest `bound`: a device that streams for days
// must not grow memory, nor the cost of each checksum check, without limit.
class ReceiveBuffer
{
public:
    // Each ACK, NAK or good frame shows the whole buffer, and the reply box lays out every
    // character: over 64 KiB of line noise that took 130 ms, so a noisy line at 9600 baud kept
    // a core busy. 4 KiB is twenty times what can arrive in a query's 210 ms at 9600 baud.
    static constexpr std::size_t kDefaultBound = 4 * 1024;

    explicit ReceiveBuffer(std::size_t bound = kDefaultBound) : bound_(bound) {}

    void append(std::string_view chunk)
    {
        storage_.append(chunk);
        if (storage_.size() - start_ > bound_)
            start_ = storage_.size() - bound_;
        // Dropping from the front is a moving offset; the dead prefix is cut off in bulk.
        if (start_ >= bound_) {
            storage_.erase(0, start_);
            start_ = 0;
        }
    }
    void clear()
    {
        storage_.clear();
        start_ = 0;
    }
    std::string_view view() const { return std::string_view(storage_).substr(start_); }
    std::size_t size() const { return storage_.size() - start_; }
    std::size_t bound() const { return bound_; }

private:
    std::size_t bound_;
    std::string storage_;
    std::size_t start_ = 0;
};
