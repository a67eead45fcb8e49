#include "kavra/SendEntry.h"

#include "base/BlockAccounting.h"

namespace kavra {

void SendEntry::Release::operator()(unsigned char* copy) const noexcept {
    BlockAccounting::DeleteBytes(BlockKind::SendCopy, copy);
}

} // namespace kavra
