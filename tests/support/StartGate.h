// Lets a group of threads start together: each calls ArriveAndWait, and all
// go on once the expected number has arrived. The same contract as
// std::latch's arrive_and_wait, built on a mutex and a condition variable
// because the atomic waits under std::latch can miss their wake-up with some
// C++ runtimes (the mingw-w64 one among them).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kavra::test {

class StartGate {
public:
    explicit StartGate(std::ptrdiff_t expected) : m_left(expected) {}
    StartGate(const StartGate&) = delete;
    StartGate& operator=(const StartGate&) = delete;

    // Any thread; each of the expected threads once.
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_left <= 0) {
            m_open.notify_all();
            return;
        }
        m_open.wait(lock, [this] { return m_left <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_open;
    std::ptrdiff_t m_left;
};

} // namespace kavra::test
