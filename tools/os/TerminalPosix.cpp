#include "tools/os/Terminal.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace kavra::os {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
}

} // namespace

bool Terminal::StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void Terminal::CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool Terminal::Interrupted() {
    return g_interrupted.load();
}

} // namespace kavra::os
