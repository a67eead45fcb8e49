// Echoes messages through a server from an Asio event loop: the loop waits
// on the client's receive handle beside its other work, and no thread of the
// program blocks in GetMessageA. Against `kavra serve` (echo mode):
//   asio_echo [COUNT] HOST PORT
// sends COUNT messages (default 1000), checks that each comes back once and
// in order, and exits 0; 1 when anything is missing after 10 s.
#include <kavra/PollableClient.h>

#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

#if defined(_WIN32)
// The handle is a manual-reset event: object_handle waits for it signalled.
using HandleWaiter = asio::windows::object_handle;
#else
// The handle is a descriptor that is readable while PDUs wait.
using HandleWaiter = asio::posix::stream_descriptor;
#endif

class Echo {
public:
    Echo(asio::io_context& io, kavra::PollableClient& client, int count)
        : m_client(client), m_waiter(io, nativeHandle(client)), m_deadline(io), m_count(count) {}

#if !defined(_WIN32)
    // The client owns the descriptor and closes it: Asio lets go of it.
    ~Echo() { m_waiter.release(); }
#endif

    void Start() {
        armWait();
        m_deadline.expires_after(std::chrono::seconds(10));
        m_deadline.async_wait([this](const asio::error_code& error) {
            if (!error) {
                std::fprintf(stderr, "asio_echo: only %d of %d came back\n", m_received, m_count);
                m_waiter.cancel();
            }
        });
        for (int i = 0; i < m_count; ++i) {
            const std::string text = "message " + std::to_string(i);
            // Waits only while the send queue is full (never here: no limit).
            m_client.SendPduWait(text.data(), static_cast<unsigned int>(text.size()), 1000);
        }
    }

    bool Done() const { return m_received == m_count && !m_wrong; }

private:
#if defined(_WIN32)
    // object_handle closes what it holds, and the client closes its own
    // handle: Asio gets a duplicate of the event.
    static HANDLE nativeHandle(kavra::PollableClient& client) {
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(client.GetReceiveHandle()),
                          ::GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0);
        return copy;
    }
#else
    static int nativeHandle(kavra::PollableClient& client) {
        return static_cast<int>(client.GetReceiveHandle());
    }
#endif

    void armWait() {
#if defined(_WIN32)
        m_waiter.async_wait([this](const asio::error_code& error) { onReady(error); });
#else
        m_waiter.async_wait(HandleWaiter::wait_read,
                            [this](const asio::error_code& error) { onReady(error); });
#endif
    }

    void onReady(const asio::error_code& error) {
        if (error) {
            return;
        }
        // Asio's Linux reactor reports a descriptor once per change
        // (edge-triggered), so the next wait is armed before the queue is
        // drained: a PDU that arrives after the last take then wakes it. The
        // handle itself is level-triggered, and the drain brings it down.
        armWait();
        char body[KavraClientThread::MAX_PDU_LENGTH];
        unsigned int size = 0;
        while (m_client.ReceivePdu(body, sizeof body, &size, 0) == KavraClientThread::RECEIVE_OK) {
            const std::string expected = "message " + std::to_string(m_received);
            if (std::string(body, size) != expected) {
                std::fprintf(stderr, "asio_echo: got '%.*s', expected '%s'\n",
                             static_cast<int>(size), body, expected.c_str());
                m_wrong = true;
            }
            if (++m_received == m_count) {
                std::printf("asio_echo: %d messages came back in order\n", m_count);
                m_waiter.cancel();
                m_deadline.cancel();
            }
        }
    }

    kavra::PollableClient& m_client;
    HandleWaiter m_waiter;
    asio::steady_timer m_deadline;
    const int m_count;
    int m_received = 0;
    bool m_wrong = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s [COUNT] HOST PORT\n", argv[0]);
        return 2;
    }
    const int count = argc > 3 ? std::atoi(argv[1]) : 1000;
    CServerStatus server(argv[argc - 2], static_cast<unsigned short>(std::atoi(argv[argc - 1])));
    kavra::PollableClient client;
    if (client.SetSocket(nullptr, 0, &server) != 1) {
        std::fprintf(stderr, "asio_echo: cannot connect to %s:%s\n", argv[argc - 2], argv[argc - 1]);
        return 1;
    }
    client.Create();

    asio::io_context io;
    Echo echo(io, client, count);
    echo.Start();
    io.run();
    return echo.Done() ? 0 : 1;
}
