// The TLS handshake as a set-up step over a new TlsStream; Done hands the
// stream over.
#pragma once

#include "base/os/SetupStep.h"
#include "base/os/tls/TlsStream.h"

namespace kavra::os {

class TlsHandshake final : public SetupStep {
public:
    explicit TlsHandshake(std::unique_ptr<TlsStream> stream) : m_stream(std::move(stream)) {}

    // Failed: as TlsStream::Handshake, with the stream's detail.
    Progress Advance(int& error, std::string& detail) override;
    SocketHandle Handle() const override { return m_stream->Handle(); }
    std::unique_ptr<ByteStream> TakeStream() override { return std::move(m_stream); }

private:
    std::unique_ptr<TlsStream> m_stream;
};

} // namespace kavra::os
