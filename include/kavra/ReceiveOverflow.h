#pragma once

namespace kavra {

/// What a client does with a frame that arrives while MAX_RECEIVE_QUEUE
/// received PDUs wait for the consumer.
enum class ReceiveOverflow {
    /// Read it and drop it (counted): the socket keeps draining, and a slow
    /// consumer never slows the peer.
    Drop,
    /// Stop reading until a consumer takes a PDU: TCP flow control then slows
    /// the peer, and nothing is dropped.
    Block,
};

} // namespace kavra
