// Sends a few messages to a server and prints what comes back.
// Usage: echo_client HOST PORT [COUNT]
#include <kavra/PollableClient.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST PORT [COUNT]\n", argv[0]);
        return 2;
    }
    const int count = argc > 3 ? std::atoi(argv[3]) : 3;
    CServerStatus server(argv[1], static_cast<unsigned short>(std::atoi(argv[2])));
    // Keeps received PDUs for GetMessageA (KavraClientThread's own handler
    // discards them).
    kavra::PollableClient client;
    if (client.SetSocket(nullptr, 0, &server) != 1) {
        std::fprintf(stderr, "cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }
    client.Create();

    for (int i = 0; i < count; ++i) {
        const std::string text = "hello " + std::to_string(i);
        client.SendPdu(text.c_str(), static_cast<unsigned int>(text.size() + 1));
    }
    int received = 0;
    char body[KavraClientThread::MAX_PDU_LENGTH] = {};
    while (received < count && client.GetMessageA(body, 3000) == 0) {
        std::printf("received: %s\n", body);
        ++received;
    }
    client.Destroy();
    return received == count ? 0 : 1;
}
