// The bottom of every stream chain: a connected, non-blocking TCP socket. It
// borrows the descriptor; its owner (CSocket) closes it.
#pragma once

#include "base/os/ByteStream.h"

namespace kavra {

class TcpStream final : public ByteStream {
public:
    explicit TcpStream(os::SocketHandle handle) : m_handle(handle) {}

    os::SocketHandle Handle() const override { return m_handle; }
    long SendSome(const void* src, std::size_t n, int& error) override;
    long RecvSome(void* dst, std::size_t n, int& error) override;
    bool FlushSome(int&) override { return true; }
    bool HasPendingOutput() const override { return false; }
    std::size_t UnsentTaken() const override { return 0; }
    std::size_t BufferedInput() const override { return 0; }
    os::PeekResult PeekForClose(int& error) override;
    // Nothing to say before the close itself.
    void Shutdown() override {}
    const std::string& Detail() const override { return m_detail; }
    bool IsEncrypted() const override { return false; }
    int ProtocolVersion() const override { return 0; }
    std::string ProtocolName() const override { return {}; }
    bool Resumed() const override { return false; }

private:
    os::SocketHandle m_handle;
    std::string m_detail;
};

} // namespace kavra
