#include "base/os/TlsLayer.h"

#include "base/os/TlsStream.h"

namespace kavra::os {

TlsSettings TlsLayer::settingsFor(const std::string& host) const {
    TlsSettings settings = m_settings;
    if (settings.serverName.empty()) {
        settings.serverName = host;
    }
    return settings;
}

int TlsLayer::Ready(std::string& detail) const {
    int error = 0;
    return TlsEngine::Create(settingsFor("localhost"), error, detail) ? 0 : error;
}

std::unique_ptr<ByteStream> TlsLayer::Open(std::unique_ptr<ByteStream> next,
                                           const std::string& host,
                                           std::chrono::steady_clock::time_point deadline,
                                           const std::atomic<bool>* cancel, int& error,
                                           std::string& detail) const {
    auto engine = TlsEngine::Create(settingsFor(host), error, detail);
    if (!engine) {
        return nullptr;
    }
    auto stream = std::make_unique<TlsStream>(std::move(next), std::move(engine));
    error = stream->Handshake(deadline, cancel);
    if (error != 0) {
        detail = stream->Detail();
        return nullptr;
    }
    return stream;
}

} // namespace kavra::os
