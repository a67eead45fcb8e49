// The handshake with a proxy that makes it connect to the target, as a
// machine without I/O: the driver (the worker's set-up step, a test) sends
// what Output() holds, feeds what the proxy sends to Received, and tells of
// the proxy's end or of the deadline. The machine makes no system call, so
// any loop can drive it, blocking or not.
//
// Driving it: while State() is Working, send Output() (Sent(n) for each n
// bytes that went), read what the proxy sends and pass it to Received; on
// the proxy's orderly end or an error call PeerClosed, at the deadline
// TimedOut. Done: the tunnel to the target stands, and TakeLeftover() gives
// the bytes the proxy sent behind its reply, which are the stream's first
// bytes. Failed: Error() is a KAVRA_PROXY_* code (kavra/TlsErrors.h) and
// Detail() says what happened; neither ever holds the credentials.
//
// Input is bounded: a reply that grows beyond what its protocol allows
// fails as malformed. One thread at a time.
#pragma once

#include "base/os/proxy/ProxyEndpoint.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kavra::os {

class ProxyHandshake {
public:
    enum class Progress { Working, Done, Failed };

    // The machine for proxy's kind, asking it for host:port. A target it
    // cannot ask for fails at once with KAVRA_PROXY_SETUP.
    static std::unique_ptr<ProxyHandshake> For(const ProxyEndpoint& proxy, const std::string& host,
                                               unsigned short port);

    ProxyHandshake(const ProxyHandshake&) = delete;
    ProxyHandshake& operator=(const ProxyHandshake&) = delete;
    virtual ~ProxyHandshake() = default;

    Progress State() const { return m_progress; }
    // Bytes for the proxy, to be sent before anything else.
    const std::vector<unsigned char>& Output() const { return m_output; }
    // The first n bytes of Output() went.
    void Sent(std::size_t n);
    // Bytes the proxy sent. Once Done they join the leftover; once Failed
    // they are dropped.
    Progress Received(const void* data, std::size_t n);
    // The proxy ended the connection (or it failed) before the handshake was over.
    Progress PeerClosed();
    // The deadline passed before the handshake was over.
    Progress TimedOut();

    int Error() const { return m_error; }
    const std::string& Detail() const { return m_detail; }
    // Once Done: what the proxy sent behind its reply (the caller's now;
    // nothing before Done).
    std::vector<unsigned char> TakeLeftover();

protected:
    ProxyHandshake(const ProxyEndpoint& proxy, std::string host, unsigned short port);

    // Reads the front of Input(): Working while more is needed, else the
    // outcome (through Finish or Fail). Consumes what it read.
    virtual Progress Parse() = 0;
    // What the handshake waits for now, for texts: "the reply to CONNECT".
    virtual std::string Awaiting() const = 0;

    const ProxyEndpoint& Proxy() const { return m_proxy; }
    const std::string& TargetHost() const { return m_host; }
    unsigned short TargetPort() const { return m_port; }
    // "the HTTP proxy 10.0.0.1:3128", for the front of a detail.
    std::string Who() const;

    std::vector<unsigned char>& Input() { return m_input; }
    void Consume(std::size_t n);
    void Queue(const std::vector<unsigned char>& bytes);
    Progress Finish();
    Progress Fail(int error, std::string detail);

private:
    bool TargetUsable(std::string& why) const;

    const ProxyEndpoint m_proxy;
    const std::string m_host;
    const unsigned short m_port;
    Progress m_progress = Progress::Working;
    std::vector<unsigned char> m_output;
    std::vector<unsigned char> m_input;
    int m_error = 0;
    std::string m_detail;
};

} // namespace kavra::os
