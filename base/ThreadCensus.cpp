#include "kavra/base/ThreadCensus.h"

#include "base/os/SocketApi.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kavra {

namespace {

std::atomic<int> g_alive{0};

constexpr auto POLL = std::chrono::milliseconds(5);

} // namespace

int ThreadCensus::Alive() noexcept {
    return g_alive.load() + os::LookupThreadsAlive();
}

bool ThreadCensus::WaitUntilNone(unsigned int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Alive() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(POLL);
    }
    return true;
}

void ThreadCensus::Arrived() noexcept {
    g_alive.fetch_add(1);
}

void ThreadCensus::Left() noexcept {
    g_alive.fetch_sub(1);
}

} // namespace kavra
