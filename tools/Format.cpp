#include "Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kavra::tool {

std::string Format::Text(const unsigned char* bytes, std::size_t n) {
    std::string text;
    text.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = bytes[i];
        if ((c >= 0x20 && c != 0x7F) || c == '\t') {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

std::string Format::Hex(const unsigned char* bytes, std::size_t n) {
    std::string text;
    for (std::size_t line = 0; line < n; line += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%06zx ", line);
        text += offset;
        for (std::size_t i = line; i < n && i < line + 16; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
            text += hex;
        }
        text.push_back('\n');
    }
    return text;
}

std::string Format::Bytes(double n) {
    const char* units[] = {"B", "KB", "MB", "GB"};
    int unit = 0;
    while (n >= 1000.0 && unit < 3) {
        n /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n, units[unit]);
    return text;
}

double Format::Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0.0;
    }
    const double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
    const auto index = static_cast<std::size_t>(std::max(1.0, rank)) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

} // namespace kavra::tool
