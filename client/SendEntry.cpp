#include "kavra/SendEntry.h"

#include "base/PooledBytes.h"

namespace kavra {

void SendEntry::Release::operator()(unsigned char* copy) const noexcept {
    PooledBytes::DeleteSized(BlockKind::SendCopy, copy);
}

} // namespace kavra
