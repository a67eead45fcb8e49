// The tool's dealings with the terminal and with signals live in the
// platform layer; the tool knows them by their short name.
#pragma once

#include "tools/os/Terminal.h"

namespace kavra::tool {

using Terminal = os::Terminal;

} // namespace kavra::tool
