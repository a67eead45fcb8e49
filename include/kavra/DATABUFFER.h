#pragma once

#include <cstdint>

/// An address and a byte count. Carries no ownership: each user says who owns
/// the bytes.
struct DATABUFFER {
    void* data = nullptr;    ///< First byte, or null.
    std::uint32_t size = 0;  ///< Number of bytes at data.
};
