// An address and a byte count; it owns nothing (KavraPDU::setBuffer says who
// owns the bytes).
#pragma once

struct DATABUFFER {
    void* data;        ///< First byte, or null.
    unsigned int size; ///< Number of bytes at data.
};
