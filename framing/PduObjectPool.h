// The pool that KavraPDU's operator new and delete take objects from and
// give them back to, for the library's own code that ends a PDU's life
// without those operators (framing/WholeFrame.h).
//
// Thread rules: any thread, concurrently.
#pragma once

#include "base/BlockPool.h"

namespace kavra {

// Blocks of sizeof(KavraPDU) bytes; lives as long as the process.
BlockPool& PduObjectPool();

} // namespace kavra
