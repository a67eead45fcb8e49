// How the tool prints bodies and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavra::tool {

class Format {
public:
    // The body as text: printable bytes as they are, others as \xHH (tab and
    // bytes from 0x80 kept, for UTF-8).
    static std::string Text(const unsigned char* bytes, std::size_t n);
    // Offset, then 16 bytes in hex per line.
    static std::string Hex(const unsigned char* bytes, std::size_t n);
    // 1234567 -> "1.2 MB"
    static std::string Bytes(double n);
    // The value below which the given fraction of the sorted values lie.
    static double Percentile(const std::vector<double>& sorted, double fraction);
};

} // namespace kavra::tool
