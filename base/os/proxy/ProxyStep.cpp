#include "base/os/proxy/ProxyStep.h"

#include "base/os/proxy/LeftoverStream.h"

namespace kavra::os {

namespace {

// What one read takes from the proxy: a reply fits, and what follows it
// stays with the machine as the stream's first bytes.
constexpr std::size_t READ_SLICE = 4096;

} // namespace

SetupStep::Progress ProxyStep::Advance(int& error, std::string& detail) {
    for (;;) {
        Progress progress = send();
        if (progress == Progress::Later) {
            progress = receive();
        }
        if (progress != Progress::Later) {
            return progress == Progress::Done ? outcome(error, detail) : progress;
        }
    }
}

SetupStep::Progress ProxyStep::send() {
    while (m_handshake->State() == ProxyHandshake::Progress::Working &&
           !m_handshake->Output().empty()) {
        const auto& out = m_handshake->Output();
        int error = 0;
        const long n = m_next->SendSome(out.data(), out.size(), error);
        if (n < 0 && error == EAGAIN) {
            return Progress::WantWrite;
        }
        if (n <= 0) {
            m_handshake->PeerClosed();
            return Progress::Done;
        }
        m_handshake->Sent(static_cast<std::size_t>(n));
    }
    return m_handshake->State() == ProxyHandshake::Progress::Working ? Progress::Later
                                                                     : Progress::Done;
}

SetupStep::Progress ProxyStep::receive() {
    unsigned char buffer[READ_SLICE];
    int error = 0;
    const long n = m_next->RecvSome(buffer, sizeof buffer, error);
    if (n < 0 && error == EAGAIN) {
        return Progress::WantRead;
    }
    const ProxyHandshake::Progress state =
        n <= 0 ? m_handshake->PeerClosed()
               : m_handshake->Received(buffer, static_cast<std::size_t>(n));
    // Working: the reply is not whole yet, or it asked for the next request.
    return state == ProxyHandshake::Progress::Working ? Progress::Later : Progress::Done;
}

SetupStep::Progress ProxyStep::outcome(int& error, std::string& detail) const {
    if (m_handshake->State() == ProxyHandshake::Progress::Done) {
        return Progress::Done;
    }
    error = m_handshake->Error();
    detail = m_handshake->Detail();
    return Progress::Failed;
}

void ProxyStep::Expired(int& error, std::string& detail) {
    m_handshake->TimedOut();
    static_cast<void>(outcome(error, detail));
}

std::unique_ptr<ByteStream> ProxyStep::TakeStream() {
    std::vector<unsigned char> leftover = m_handshake->TakeLeftover();
    if (leftover.empty()) {
        return std::move(m_next);
    }
    return std::make_unique<LeftoverStream>(std::move(m_next), std::move(leftover));
}

} // namespace kavra::os
