#include "Commands.h"

#include <cstdio>

namespace kavra::tool {

namespace {
std::mutex g_outputMutex;
}

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace kavra::tool
