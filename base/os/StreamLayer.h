// One stage a new connection passes through once TCP is up (a proxy's
// handshake; TLS), as a maker of the stream that wraps the one
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

    // Where the TCP connect goes with this layer in the chain: a layer that
    // tunnels to the target (a proxy's handshake) names its own peer; the
    // others leave host and port alone. Start still gets the target.
    virtual void Route(std::string& /*host*/, unsigned short& /*port*/) const {}
    // The TCP connect to where Route pointed failed with error and detail: a
    // layer that routed says so in its own terms (which hop was unreachable).
    virtual void ExplainConnectFailure(int& /*error*/, std::string& /*detail*/) const {}
};

} // namespace kavra
