/// @file
/// For tests only: the library's own allocations, shown to an observer.
///
/// A test that must see which blocks the library allocates and releases
/// cannot replace the global allocation operators for that where the library
/// is a DLL (its allocations never reach the program's operators), nor under
/// ThreadSanitizer (whose runtime owns them). So the library reports its
/// blocks itself: every PDU object, header object, PDU body, byte-buffer
/// block and send copy it allocates or releases is shown to the observer
/// installed here, with its address. Without an observer this costs one
/// atomic load per allocation and per release. Not meant for production
/// use; nothing in the library depends on an observer.
#pragma once

#include "kavra/Export.h"

#include <cstddef>

namespace kavra {

/// What a block the library allocates is for.
enum class BlockKind {
    PduObject,    ///< a KavraPDU made with new (a received PDU)
    HeaderObject, ///< a KavraHeader made with new (a PDU's header)
    PduBody,      ///< the body a KavraPDU owns
    ByteBuffer,   ///< the storage of a CIPByteBuffer
    SendCopy,     ///< the copy SendPdu makes of a body, until it is written or dropped
};

/// The number of BlockKind values.
inline constexpr int BLOCK_KINDS = 5;

/// Installs the one observer of the library's allocations.
class KAVRA_API AllocationWatch {
public:
    /// Told of each allocation and release, on the thread that makes it,
    /// from any number of threads at once.
    class Observer {
    public:
        /// block of size bytes was allocated for kind.
        virtual void OnAllocated(BlockKind kind, const void* block, std::size_t size) noexcept = 0;
        /// block, allocated for kind, is being released.
        virtual void OnReleased(BlockKind kind, const void* block) noexcept = 0;

    protected:
        /// Not destroyed through this interface.
        virtual ~Observer() = default;
    };

    /// Makes observer (or nobody, for null) the one told from now on; any
    /// thread, at any time. A call already under way on another thread is not
    /// waited for: before an observer is destroyed, clear it with no thread
    /// left that allocates through the library (stop the clients first).
    static void SetObserver(Observer* observer) noexcept;
};

} // namespace kavra
