#include "base/SocketSetup.h"

#include "base/os/TcpConnect.h"

#include <algorithm>
#include <cerrno>

namespace kavra {

SocketSetup::SocketSetup(std::string host, unsigned short port, Clock::time_point deadline,
                         Layers layers)
    : m_host(std::move(host)), m_port(port), m_deadline(deadline), m_layers(std::move(layers)),
      m_step(firstHop(deadline)) {}

std::unique_ptr<SetupStep> SocketSetup::firstHop(Clock::time_point deadline) const {
    std::string host = m_host;
    unsigned short port = m_port;
    for (const auto& layer : m_layers) {
        layer->Route(host, port);
    }
    return std::make_unique<TcpConnect>(std::move(host), port, deadline);
}

SetupStep::Progress SocketSetup::fail(int& error, std::string& detail) {
    if (m_handle == os::INVALID_SOCKET_HANDLE) {
        for (const auto& layer : m_layers) {
            layer->ExplainConnectFailure(error, detail);
        }
    }
    m_last = SetupStep::Progress::Failed;
    return m_last;
}

SocketSetup::~SocketSetup() {
    // A layer's step and stream borrow the descriptor: they go first.
    m_step.reset();
    m_stream.reset();
    if (m_handle != os::INVALID_SOCKET_HANDLE) {
        os::CloseSocket(m_handle);
    }
}

SetupStep::Progress SocketSetup::Advance(int& error, std::string& detail) {
    for (;;) {
        m_last = m_step->Advance(error, detail);
        if (m_last == SetupStep::Progress::Failed) {
            return fail(error, detail);
        }
        if (m_last != SetupStep::Progress::Done) {
            break;
        }
        std::unique_ptr<ByteStream> stream = m_step->TakeStream();
        m_step.reset();
        if (m_handle == os::INVALID_SOCKET_HANDLE) {
            m_handle = stream->Handle();
        }
        if (m_nextLayer == m_layers.size()) {
            m_stream = std::move(stream);
            return m_last;
        }
        m_step = m_layers[m_nextLayer++]->Start(std::move(stream), m_host, m_port, error, detail);
        if (!m_step) {
            return SetupStep::Progress::Failed;
        }
    }
    if (Clock::now() >= m_deadline) {
        m_step->Expired(error, detail);
        return fail(error, detail);
    }
    return m_last;
}

os::SocketHandle SocketSetup::Handle() const {
    return m_step ? m_step->Handle() : os::INVALID_SOCKET_HANDLE;
}

SocketSetup::Clock::time_point SocketSetup::WakeBy() const {
    Clock::time_point by = m_deadline;
    if (m_step) {
        by = std::min(by, m_step->WakeBy());
    }
    if (m_last == SetupStep::Progress::Later) {
        // Nothing to wait on: a short while, as a stop request is looked at.
        by = std::min(by, Clock::now() + std::chrono::milliseconds(os::CONNECT_CANCEL_POLL_MS));
    }
    return by;
}

os::SocketHandle SocketSetup::TakeHandle() {
    const os::SocketHandle handle = m_handle;
    m_handle = os::INVALID_SOCKET_HANDLE;
    return handle;
}

} // namespace kavra
