// TLS as a stage of the stream chain: each Open makes an engine for the
// settings and runs its handshake over the stream below.
#pragma once

#include "base/os/StreamLayer.h"
#include "base/os/TlsEngine.h"

namespace kavra::os {

class TlsLayer final : public StreamLayer {
public:
    // settings.serverName empty: each connection verifies (and sends as SNI)
    // the host it connects to.
    explicit TlsLayer(TlsSettings settings) : m_settings(std::move(settings)) {}

    int Ready(std::string& detail) const override;
    std::unique_ptr<ByteStream> Open(std::unique_ptr<ByteStream> next, const std::string& host,
                                     std::chrono::steady_clock::time_point deadline,
                                     const std::atomic<bool>* cancel, int& error,
                                     std::string& detail) const override;

private:
    TlsSettings settingsFor(const std::string& host) const;

    const TlsSettings m_settings;
};

} // namespace kavra::os
