// One stage a new connection passes through once TCP is up (TLS; a proxy's
// handshake would be another), as a maker of the stream that wraps the one
// below. A socket keeps its layers, lowest first, across reconnections, and
// every connect starts each in turn over the stream the one below made.
//
// A layer is immutable once made and may be shared by sockets on any thread.
#pragma once

#include "base/os/SetupStep.h"

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

    // Begins this stage's set-up over next, whose peer is host at port: the
    // step that the caller moves on (SetupStep.h) and whose stream wraps
    // next, or null with error and detail set (next is gone with it; the
    // descriptor stays open).
    virtual std::unique_ptr<SetupStep> Start(std::unique_ptr<ByteStream> next,
                                             const std::string& host, unsigned short port,
                                             int& error,
                                             std::string& detail) const = 0;
};

} // namespace kavra
