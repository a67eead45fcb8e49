// TLS as a stage of the stream chain: each Start makes an engine from the
// layer's context, and its step runs the handshake over the stream below.
//
// One layer per set of settings in the process (For), so every socket with
// the same settings shares its context, and with it the files read once and
// the sessions a server lets resume. Before each connection (Ready) the
// layer looks whether a file of its context changed (a renewed certificate,
// key or CA) and makes the context again if so; a change that breaks the
// settings fails that connect with KAVRA_TLS_SETUP, and the next one looks
// again.
#pragma once

#include "base/os/StreamLayer.h"
#include "base/os/tls/TlsContext.h"
#include "kavra/base/TlsOptions.h"

#include <mutex>

namespace kavra::os {

class TlsLayer final : public StreamLayer {
public:
    // The layer of settings (serverName empty: each connection verifies,
    // and sends as SNI, the host it connects to), made and its files read
    // when no socket in the process holds one for the same settings.
    static std::shared_ptr<const TlsLayer> For(const TlsSettings& settings);
    // The same for a client's public options (enabled or not).
    static std::shared_ptr<const TlsLayer> For(const kavra::TlsOptions& options);

    explicit TlsLayer(TlsSettings settings);

    int Ready(std::string& detail) const override;
    std::unique_ptr<SetupStep> Start(std::unique_ptr<ByteStream> next, const std::string& host,
                                     unsigned short port, int& error,
                                     std::string& detail) const override;

private:
    // The context as of now (made again when its files changed), or null
    // with error and detail set.
    std::shared_ptr<const TlsContext> current(int& error, std::string& detail) const;

    const TlsSettings m_settings;
    mutable std::mutex m_lock;
    mutable std::shared_ptr<const TlsContext> m_context;
};

} // namespace kavra::os
