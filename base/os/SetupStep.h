// One stage of a connection's set-up (the TCP connect; a proxy's handshake;
// TLS) as something a loop moves on without waiting.
//
// The owner calls Advance whenever Handle() is ready in the direction the
// last Advance asked for, or WakeBy() has come, whichever is first; Advance
// never waits itself. Once it said Done, TakeStream hands over the stream
// the stage made. A step is one thread's at a time.
#pragma once

#include "base/os/ByteStream.h"
#include "base/os/SocketApi.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

namespace kavra {

class SetupStep {
public:
    using Clock = std::chrono::steady_clock;

    enum class Progress {
        WantRead,  ///< call again once Handle() is readable
        WantWrite, ///< call again once Handle() is writable
        Later,     ///< nothing to wait on: call again after a short while
        Done,      ///< the stream is ready (TakeStream)
        Failed,    ///< error and detail are set
    };

    SetupStep() = default;
    SetupStep(const SetupStep&) = delete;
    SetupStep& operator=(const SetupStep&) = delete;
    virtual ~SetupStep() = default;

    virtual Progress Advance(int& error, std::string& detail) = 0;
    // The descriptor a WantRead or WantWrite waits on.
    virtual os::SocketHandle Handle() const = 0;
    // The latest time Advance is to be called again, ready or not (a part
    // of the stage that has a deadline of its own); Clock::time_point::max()
    // when there is none.
    virtual Clock::time_point WakeBy() const { return Clock::time_point::max(); }
    // The set-up's deadline passed while this step was under way: why, in
    // the step's own terms (a stage that waits on a peer names it).
    virtual void Expired(int& error, std::string& /*detail*/) { error = ETIMEDOUT; }
    // After Done: the stream this stage made.
    virtual std::unique_ptr<ByteStream> TakeStream() = 0;
};

} // namespace kavra
