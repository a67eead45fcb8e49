#include "TlsAcceptor.h"

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace kavra::tool {

TlsAcceptor::TlsAcceptor(std::string certFile, std::string keyFile, std::function<void()> wake)
    : m_wake(std::move(wake)) {
    m_settings.server = true;
    m_settings.certFile = std::move(certFile);
    m_settings.keyFile = std::move(keyFile);
    int error = 0;
    std::string detail;
    if (!os::TlsEngine::Create(m_settings, error, detail)) {
        throw std::runtime_error("cannot serve TLS with " + m_settings.certFile + " and " +
                                 m_settings.keyFile + ": " + detail);
    }
}

TlsAcceptor::~TlsAcceptor() {
    Stop();
}

void TlsAcceptor::Begin(std::uint64_t id, ServerSocket::Handle handle) {
    m_threads.emplace(id, std::thread([this, id, handle] { handshake(id, handle); }));
}

void TlsAcceptor::handshake(std::uint64_t id, ServerSocket::Handle handle) {
    Finished done;
    done.id = id;
    done.handle = handle;
    int error = 0;
    std::string detail;
    std::unique_ptr<os::TlsEngine> engine = os::TlsEngine::Create(m_settings, error, detail);
    if (engine) {
        auto stream = std::make_unique<os::TlsStream>(handle, std::move(engine));
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(HANDSHAKE_LIMIT_MS);
        error = stream->Handshake(deadline, &m_cancel);
        detail = stream->Detail();
        if (error == 0) {
            done.stream = std::move(stream);
        }
    }
    if (!done.stream) {
        done.failure =
            error == ETIMEDOUT
                ? "no TLS handshake within " + std::to_string(HANDSHAKE_LIMIT_MS / 1000) + " s"
                : (detail.empty() ? ServerSocket::ErrorText(error) : detail);
        ServerSocket::Close(handle);
        done.handle = ServerSocket::INVALID_HANDLE;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished.push_back(std::move(done));
    }
    m_wake();
}

std::vector<TlsAcceptor::Finished> TlsAcceptor::TakeFinished() {
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        finished.swap(m_finished);
    }
    joinFinished(finished);
    return finished;
}

void TlsAcceptor::joinFinished(const std::vector<Finished>& finished) {
    for (const Finished& done : finished) {
        const auto thread = m_threads.find(done.id);
        if (thread != m_threads.end()) {
            thread->second.join();
            m_threads.erase(thread);
        }
    }
}

void TlsAcceptor::Stop() {
    m_cancel = true;
    for (auto& [id, thread] : m_threads) {
        thread.join();
    }
    m_threads.clear();
    for (Finished& done : TakeFinished()) {
        done.stream.reset();
        ServerSocket::Close(done.handle);
    }
    m_cancel = false;
}

} // namespace kavra::tool
