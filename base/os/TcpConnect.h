// The TCP connect as a set-up step: the endpoint's name is looked up (a
// numeric one at once, a name on a thread of its own that the step looks at
// in short slices) and each address is tried in turn with a non-blocking
// connect. The lookup and all tries together end by the deadline, and each
// address gets an equal share of what is left when its turn comes, so one
// that never answers cannot eat the whole attempt.
#pragma once

#include "base/os/SetupStep.h"

#include <vector>

namespace kavra {

class TcpConnect final : public SetupStep {
public:
    TcpConnect(std::string host, unsigned short port, Clock::time_point deadline);
    ~TcpConnect() override;

    // Failed: EHOSTUNREACH when the name does not resolve, ETIMEDOUT when the
    // time ran out, otherwise the last address's connect error.
    Progress Advance(int& error, std::string& detail) override;
    os::SocketHandle Handle() const override { return m_handle; }
    Clock::time_point WakeBy() const override;
    // A TcpStream over the connected socket, which the caller closes.
    std::unique_ptr<ByteStream> TakeStream() override;

private:
    Progress resolve(int& error);
    // Starts the next address's connect, or fails with the last error.
    Progress tryNext(int& error);
    void closeAttempt();

    std::string m_host;
    unsigned short m_port;
    Clock::time_point m_deadline;
    std::shared_ptr<os::PendingLookup> m_lookup;
    bool m_resolved = false;
    std::vector<os::Address> m_addresses;
    std::size_t m_next = 0;
    os::SocketHandle m_handle = os::INVALID_SOCKET_HANDLE;
    Clock::time_point m_addressDeadline{};
    int m_lastError = ETIMEDOUT;
};

} // namespace kavra
