#include "kavra/base/AllocationWatch.h"

#include "base/BlockAccounting.h"

namespace kavra {

void AllocationWatch::SetObserver(Observer* observer) noexcept {
    BlockAccounting::s_observer.store(observer, std::memory_order_release);
}

} // namespace kavra
