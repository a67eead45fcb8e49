// The stream through a proxy's tunnel when the proxy sent bytes behind its
// reply: those bytes (the target's first) come out of RecvSome before any
// from the stream below, so none is lost to the handshake. Everything else
// is the stream below's. ByteStream's contract.
#pragma once

#include "base/os/ByteStream.h"

#include <memory>
#include <vector>

namespace kavra::os {

class LeftoverStream final : public ByteStream {
public:
    LeftoverStream(std::unique_ptr<ByteStream> next, std::vector<unsigned char> leftover)
        : m_next(std::move(next)), m_leftover(std::move(leftover)) {}

    SocketHandle Handle() const override { return m_next->Handle(); }
    long SendSome(const void* src, std::size_t n, int& error) override {
        return m_next->SendSome(src, n, error);
    }
    long RecvSome(void* dst, std::size_t n, int& error) override;
    bool FlushSome(int& error) override { return m_next->FlushSome(error); }
    bool HasPendingOutput() const override { return m_next->HasPendingOutput(); }
    std::size_t UnsentTaken() const override { return m_next->UnsentTaken(); }
    // The leftover does not wake a wait on the descriptor.
    std::size_t BufferedInput() const override {
        return m_leftover.size() - m_taken + m_next->BufferedInput();
    }
    PeekResult PeekForClose(int& error) override;
    void Shutdown() override { m_next->Shutdown(); }
    const std::string& Detail() const override { return m_next->Detail(); }
    bool IsEncrypted() const override { return m_next->IsEncrypted(); }
    int ProtocolVersion() const override { return m_next->ProtocolVersion(); }
    std::string ProtocolName() const override { return m_next->ProtocolName(); }
    bool Resumed() const override { return m_next->Resumed(); }

private:
    std::unique_ptr<ByteStream> m_next;
    std::vector<unsigned char> m_leftover;
    std::size_t m_taken = 0;
};

} // namespace kavra::os
