// Logs a client's connection events for as long as it runs: the first
// connect, drops with their reason, each reconnection attempt and its
// outcome. Stop or restart the server while it runs to see them.
// Usage: connection_events HOST PORT [SECONDS]
#include <kavra/KavraClientThread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

// Every event arrives on the client's worker thread, one at a time.
class LoggingClient : public KavraClientThread {
public:
    // Handlers of a derived class must not run while it is torn down.
    ~LoggingClient() override { Destroy(); }

protected:
    void OnSocketConnect(int error) override {
        if (error == 0) {
            std::printf("connected\n");
        } else {
            std::printf("connect attempt failed: %s\n", std::strerror(error));
        }
        std::fflush(stdout);
        KavraClientThread::OnSocketConnect(error);
    }
    void OnSocketClose(int error) override {
        std::printf("connection lost: %s\n", error == 0 ? "closed by the peer" : std::strerror(error));
        std::fflush(stdout);
        KavraClientThread::OnSocketClose(error);
    }
    void OnSocketReconnect(int attempt) override {
        std::printf("reconnecting, attempt %d\n", attempt);
        std::fflush(stdout);
        KavraClientThread::OnSocketReconnect(attempt);
    }
};

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
    CServerStatus server(argv[1], static_cast<unsigned short>(std::atoi(argv[2])));
    LoggingClient client;
    client.SetSocket(nullptr, 0, &server);
    client.Create();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const kavra::ConnectionStats stats = client.GetStats();
    std::printf("%s; %llu connections made, %llu lost, %llu failed attempts\n",
                stats.connected ? "connected" : "not connected",
                static_cast<unsigned long long>(stats.connectionsMade),
                static_cast<unsigned long long>(stats.connectionsLost),
                static_cast<unsigned long long>(stats.connectFailures));
    return 0;
}
