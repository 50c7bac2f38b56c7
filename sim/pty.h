// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <string>
#include <string_view>

// A pseudo-terminal standing in for the device: the program opens path(), the device (tq5sim, a
// test or a benchmark) plays on the master side. The slave stays raw and open, so nothing is
// echoed or lost and the program may come and go.
class Pty
{
public:
    Pty();
    ~Pty() { close(); }
    Q_DISABLE_COPY(Pty)

    bool isValid() const { return master_ >= 0; }
    QString path() const { return path_; }
    int masterFd() const { return master_; }

    // The helpers below run the event loop while they wait, for tests and benchmarks.
    void write(std::string_view bytes);
    // What the program sent, until `count` bytes came or `timeoutMs` passed.
    std::string read(std::size_t count, int timeoutMs = 2000);
    // Whatever arrives within `ms`.
    std::string drain(int ms) { return read(std::string::npos, ms); }
    // The device goes away.
    void close();
    // Ends the exclusive mode a killed program left the line in: here the device keeps its end
    // open, where a real port leaves that mode with its last user.
    void clearExclusive();

private:
    int master_ = -1, slave_ = -1;
    QString path_;
};
