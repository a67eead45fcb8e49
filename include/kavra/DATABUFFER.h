// An address and a byte count. Carries no ownership: each user says who owns
// the bytes.
#pragma once

#include <cstdint>

struct DATABUFFER {
    void* data = nullptr;
    std::uint32_t size = 0;
};
