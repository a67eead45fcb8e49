#pragma once

#include "base/os/SetupStep.h"
#include "base/os/StreamLayer.h"

#include <vector>

namespace kavra {

/**
 * The set-up of one connection as a chain of steps a loop moves on without
 * waiting: the TCP connect, then each layer of the socket (a proxy's
 * handshake, TLS) over the stream the step below made. All steps together
 * end by one deadline. The TCP connect goes where the layers route it (the
 * proxy); each layer starts towards host and port (the target).
 *
 * It owns the descriptor until TakeHandle: a set-up that fails or is given
 * up closes it. One thread at a time: the socket's owner.
 */
class SocketSetup {
public:
    using Clock = std::chrono::steady_clock;
    using Layers = std::vector<std::shared_ptr<const StreamLayer>>;

    SocketSetup(std::string host, unsigned short port, Clock::time_point deadline, Layers layers);
    ~SocketSetup();
    SocketSetup(const SocketSetup&) = delete;
    SocketSetup& operator=(const SocketSetup&) = delete;

    /// Moves the set-up on as far as it goes without waiting (SetupStep).
    /// Failed with ETIMEDOUT once the deadline passed.
    SetupStep::Progress Advance(int& error, std::string& detail);
    /// What a WantRead or WantWrite waits on, and which of them it was.
    os::SocketHandle Handle() const;
    bool WantsWrite() const { return m_last == SetupStep::Progress::WantWrite; }
    /// When Advance is to be called again at the latest.
    Clock::time_point WakeBy() const;
    /// After Done: the connected descriptor and the stream over it.
    ///@{
    os::SocketHandle TakeHandle();
    std::unique_ptr<ByteStream> TakeStream() { return std::move(m_stream); }
    ///@}

private:
    // The TCP connect towards where the layers route it.
    std::unique_ptr<SetupStep> firstHop(Clock::time_point deadline) const;
    // Failed: the reason in the terms of the step, and of the layers when it
    // was the TCP connect.
    SetupStep::Progress fail(int& error, std::string& detail);

    std::string m_host;
    unsigned short m_port;
    Clock::time_point m_deadline;
    Layers m_layers;
    std::size_t m_nextLayer = 0;
    std::unique_ptr<SetupStep> m_step;
    SetupStep::Progress m_last = SetupStep::Progress::Later;
    os::SocketHandle m_handle = os::INVALID_SOCKET_HANDLE;
    std::unique_ptr<ByteStream> m_stream;
};

} // namespace kavra
