#include "base/os/tls/TlsLayer.h"

#include "base/os/tls/TlsHandshake.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kavra::os {

std::shared_ptr<const TlsLayer> TlsLayer::For(const TlsSettings& settings) {
    static std::mutex lock;
    static std::vector<std::weak_ptr<const TlsLayer>> layers;
    const std::scoped_lock held(lock);
    std::erase_if(layers, [](const auto& layer) { return layer.expired(); });
    for (const auto& known : layers) {
        auto layer = known.lock();
        if (layer && layer->m_settings == settings) {
            return layer;
        }
    }
    auto layer = std::make_shared<const TlsLayer>(settings);
    layers.push_back(layer);
    return layer;
}

std::shared_ptr<const TlsLayer> TlsLayer::For(const kavra::TlsOptions& options) {
    TlsSettings settings;
    settings.serverName = options.ServerName();
    settings.caFile = options.CaFile();
    settings.caFolder = options.CaFolder();
    settings.certFile = options.CertFile();
    settings.keyFile = options.KeyFile();
    settings.verify = !options.InsecureSkipVerify();
    return For(settings);
}

TlsLayer::TlsLayer(TlsSettings settings) : m_settings(std::move(settings)) {
    int error = 0;
    std::string detail;
    m_context = TlsContext::Make(m_settings, error, detail);
}

std::shared_ptr<const TlsContext> TlsLayer::current(int& error, std::string& detail) const {
    const std::scoped_lock held(m_lock);
    if (!m_context || m_context->FilesChanged()) {
        m_context = TlsContext::Make(m_settings, error, detail);
    }
    return m_context;
}

int TlsLayer::Ready(std::string& detail) const {
    int error = 0;
    return current(error, detail) ? 0 : error;
}

std::unique_ptr<SetupStep> TlsLayer::Start(std::unique_ptr<ByteStream> next,
                                           const std::string& host, unsigned short port,
                                           int& error,
                                           std::string& detail) const {
    const auto context = current(error, detail);
    if (!context) {
        return nullptr;
    }
    const std::string& name = m_settings.serverName.empty() ? host : m_settings.serverName;
    // Sessions are kept per endpoint: another port may be another server.
    auto engine = context->NewEngine(name, host + ":" + std::to_string(port), error, detail);
    if (!engine) {
        return nullptr;
    }
    return std::make_unique<TlsHandshake>(
        std::make_unique<TlsStream>(std::move(next), std::move(engine)));
}

} // namespace kavra::os
