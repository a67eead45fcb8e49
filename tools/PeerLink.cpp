#include "PeerLink.h"

#include <kavra/TlsErrors.h>

#include <cerrno>

namespace kavra::tool {

PeerLink::PeerLink(ServerSocket::Handle handle) : m_handle(handle) {}

PeerLink::PeerLink(ServerSocket::Handle handle, std::unique_ptr<os::TlsStream> stream)
    : m_handle(handle), m_stream(std::move(stream)) {}

PeerLink::~PeerLink() {
    Close(false);
}

std::string PeerLink::ProtocolName() const {
    return m_stream ? m_stream->ProtocolName() : std::string();
}

long PeerLink::failed(int error, const char* doing) {
    if (error == KAVRA_TLS_TRUNCATED) {
        m_why = "closed by client without close_notify";
    } else if (m_stream && error >= KAVRA_TLS_ERROR_FIRST && error <= KAVRA_TLS_ERROR_LAST) {
        m_why = std::string("closed: TLS ") + doing + " failed: " + m_stream->Detail();
    } else {
        m_why = std::string("closed: ") + doing + " failed: " + ServerSocket::ErrorText(error);
    }
    return -1;
}

long PeerLink::Read(void* dst, std::size_t n) {
    if (!m_stream) {
        const long got = ServerSocket::Read(m_handle, dst, n);
        if (got < 0) {
            m_why = "closed by client";
        }
        return got;
    }
    for (;;) {
        int error = 0;
        const long got = m_stream->RecvSome(dst, n, error);
        if (got > 0) {
            return got;
        }
        if (got == 0) {
            m_why = "closed by client";
            return -1;
        }
        if (error == EAGAIN) {
            return 0;
        }
        if (error != EINTR) {
            return failed(error, "read");
        }
    }
}

long PeerLink::Write(const void* src, std::size_t n) {
    if (!m_stream) {
        const long put = ServerSocket::Write(m_handle, src, n);
        if (put < 0) {
            m_why = "closed: write failed";
        }
        return put;
    }
    for (;;) {
        int error = 0;
        const long put = m_stream->SendSome(src, n, error);
        if (put >= 0) {
            return put;
        }
        if (error == EAGAIN) {
            return 0;
        }
        if (error != EINTR) {
            return failed(error, "write");
        }
    }
}

bool PeerLink::Flush() {
    if (!m_stream) {
        return true;
    }
    for (;;) {
        int error = 0;
        if (m_stream->FlushSome(error) || error == EAGAIN) {
            return true;
        }
        if (error != EINTR) {
            failed(error, "write");
            return false;
        }
    }
}

void PeerLink::Close(bool orderly) {
    if (m_handle == ServerSocket::INVALID_HANDLE) {
        return;
    }
    if (m_stream && orderly) {
        m_stream->Shutdown();
    }
    m_stream.reset();
    ServerSocket::Close(m_handle);
    m_handle = ServerSocket::INVALID_HANDLE;
}

} // namespace kavra::tool
