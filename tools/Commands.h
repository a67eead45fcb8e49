// The subcommands. Each parses its own options from argv[2...], returns the
// process exit status, and reports failures by throwing: UsageError for a bad
// command line, std::runtime_error for anything else (one-line reason).
#pragma once

#include <mutex>
#include <string>

namespace kavra::tool {

int RunServe(int argc, char** argv);
int RunSend(int argc, char** argv);
int RunRecv(int argc, char** argv);
int RunDemo(int argc, char** argv);

// Writes one line to stdout (or stderr) at once and flushes it, so lines from
// several threads never interleave and a reader on a pipe sees them at once.
void PrintLine(const std::string& line);
void PrintError(const std::string& line);

} // namespace kavra::tool
