// One stage a new connection passes through once TCP is up (TLS; a proxy's
// handshake would be another), as a maker of the stream that wraps the one
// below. A socket keeps its layers, lowest first, across reconnections, and
// every connect opens each in turn over the stream the one below made.
//
// A layer is immutable once made and may be shared by sockets on any thread.
#pragma once

#include "base/os/ByteStream.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace kavra {

class StreamLayer {
public:
    StreamLayer() = default;
    StreamLayer(const StreamLayer&) = delete;
    StreamLayer& operator=(const StreamLayer&) = delete;
    virtual ~StreamLayer() = default;

    // Before the TCP connect: 0 when a stream can be opened now, or why not
    // (an error with detail), so that settings that cannot work fail before
    // any connection is made.
    virtual int Ready(std::string& detail) const = 0;

    // Runs this stage's set-up over next, whose peer is host at port, by
    // the deadline; a stop request (cancel) ends it within
    // os::CONNECT_CANCEL_POLL_MS. The stream above next, or null with error
    // and detail set (next is gone with it; the descriptor stays open).
    virtual std::unique_ptr<ByteStream> Open(std::unique_ptr<ByteStream> next,
                                             const std::string& host, unsigned short port,
                                             std::chrono::steady_clock::time_point deadline,
                                             const std::atomic<bool>* cancel, int& error,
                                             std::string& detail) const = 0;
};

} // namespace kavra
