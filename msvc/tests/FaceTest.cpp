// The face as a Visual C++ program uses it, against a live `kavra serve`
// echo peer: face_test.exe 127.0.0.1 PORT, as kavra_with_server runs it. Bodies out and back
// byte for byte through a handler that keeps PDUs for GetMessageA,
// SendPdu's argument errors caught as the standard classes with their GBK
// texts, and the destructor releasing what is still queued. Exit status 0
// when every check held.
#include "kavra_msvc/CIPByteBuffer.h"
#include "kavra_msvc/CServerStatus.h"
#include "kavra_msvc/KavraClientThread.h"
#include "kavra_msvc/KavraHeader.h"
#include "kavra_msvc/KavraPDU.h"

#include "../runtime/Crt.h"
#include "../runtime/MsvcStd.h"

namespace {

int failures = 0;

void check(bool holds, const char* what) {
    char line[200] = {};
    const char* verdict = holds ? "ok:     " : "FAILED: ";
    memcpy(line, verdict, 8);
    const size_t length = strlen(what) < sizeof line - 9 ? strlen(what) : sizeof line - 9;
    memcpy(line + 8, what, length);
    puts(line);
    if (!holds) {
        ++failures;
    }
}

unsigned int numberAt(const char* text) {
    unsigned int value = 0;
    for (const char* c = text; *c >= '0' && *c <= '9' && value < 100000; ++c) {
        value = value * 10 + static_cast<unsigned int>(*c - '0');
    }
    return value;
}

unsigned int environmentNumber(const char* name, unsigned int fallback) {
    char text[16] = {};
    if (GetEnvironmentVariableA(name, text, sizeof text) == 0) {
        return fallback;
    }
    const unsigned int value = numberAt(text);
    return value != 0 ? value : fallback;
}

// The last word of the command line, quoted or not; 0 when it is no number.
unsigned int portArgument() {
    const char* line = GetCommandLineA();
    const char* last = line;
    for (const char* c = line; *c != 0; ++c) {
        if (c[0] == ' ' && c[1] != ' ' && c[1] != 0) {
            last = c + 1;
        }
    }
    if (last == line) {
        return 0;
    }
    return numberAt(*last == '"' ? last + 1 : last);
}

// A wait of the test's own, stretched on slow machines.
unsigned long patient(unsigned long ms) {
    return ms * environmentNumber("KAVRA_TEST_SLOWDOWN", 1);
}

unsigned char patternByte(unsigned int size, unsigned int i) {
    return static_cast<unsigned char>(i * 7 + size);
}

// Leaves the queue to GetMessageA and tells the test thread of each PDU.
class KeepingClient : public KavraClientThread {
public:
    CSema arrived{0, 1000, nullptr, nullptr};

protected:
    void OnReceiveQueuePush() override { arrived.Unlock(1, nullptr); }
};

// A PDU that counts its destructions.
class CountedPDU : public KavraPDU {
public:
    static int destroyed;
    ~CountedPDU() override { ++destroyed; }
};
int CountedPDU::destroyed = 0;

// Reads each frame itself and queues it as a CountedPDU, then keeps it.
class CountingClient : public KeepingClient {
protected:
    void OnSocketReceive(int) override {
        unsigned char header[14];
        if (RecvDataTimeout(reinterpret_cast<char*>(header), 14, SOCKET_IO_TIMEOUT_MS) != 14) {
            return;
        }
        const int length = (header[10] << 24) | (header[11] << 16) | (header[12] << 8) | header[13];
        CIPByteBuffer body;
        body.appendString(nullptr, length);
        if (RecvDataTimeout(reinterpret_cast<char*>(body.getBuffer()), length,
                            SOCKET_IO_TIMEOUT_MS) != length) {
            return;
        }
        auto* pdu = new CountedPDU;
        pdu->setBody(body);
        if (ReceivePush(pdu) == 0) {
            delete pdu;
        }
    }
};

const char kNullPduText[] = "KavraClientThread::SendPdu"
                            "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD" "pdu" "\xCE\xAA\xBF\xD5\xA1\xA3";
const char kSizeText[] = "KavraClientThread::SendPdu"
                         "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD" "size" "\xD4\xBD\xBD\xE7\xA1\xA3";

bool sameText(const char* got, const char* expected, size_t length) {
    return got != nullptr && strlen(got) == length && memcmp(got, expected, length) == 0;
}

void argumentErrors(KavraClientThread& client, unsigned char* body) {
    int caught = 0;
    try {
        client.SendPdu(nullptr, 5);
    } catch (const std::exception& e) {
        caught = sameText(e.what(), kNullPduText, 43) ? 1 : -1;
    }
    check(caught == 1, "SendPdu(null, 5) throws std::exception with the 43-byte GBK text");
    caught = 0;
    try {
        client.SendPdu(nullptr, 9000);
    } catch (const std::invalid_argument& e) {
        caught = sameText(e.what(), kNullPduText, 43) ? 1 : -1;
    } catch (...) {
        caught = -1;
    }
    check(caught == 1, "SendPdu(null, 9000) throws std::invalid_argument");
    caught = 0;
    try {
        client.SendPdu(body, 8813);
    } catch (const std::exception& e) {
        caught = sameText(e.what(), kSizeText, 44) ? 1 : -1;
    }
    check(caught == 1, "SendPdu(8813 bytes) throws std::exception with the 44-byte GBK text");
    caught = 0;
    try {
        client.SendPdu(body, 8813);
    } catch (const std::out_of_range&) {
        caught = 1;
    } catch (const std::logic_error&) {
        caught = -1;
    }
    check(caught == 1, "SendPdu(8813 bytes) throws std::out_of_range");
}

// ValidateBuffer on garbage in front of a sync mark: what it returns, and
// the buffer shifted with zero bytes behind.
bool scanGives(const unsigned char* bytes, int n, unsigned int expected) {
    CIPByteBuffer buffer;
    buffer.appendBytes(bytes, n);
    KavraHeader header;
    const unsigned int skipped = header.ValidateBuffer(buffer);
    bool zeroTail = true;
    for (int i = n - static_cast<int>(expected); i < n; ++i) {
        zeroTail = zeroTail && buffer.getBuffer()[i] == 0;
    }
    return skipped == expected && buffer.getLength() == static_cast<unsigned int>(n) && zeroTail &&
           memcmp(buffer.getBuffer(), bytes + expected, n - expected) == 0;
}

void framing() {
    unsigned char bytes[14];
    memset(bytes, 0xFF, 14);
    bytes[0] = 0x12;
    bytes[1] = 0x34;
    bytes[12] = 0;
    bytes[13] = 0;
    check(scanGives(bytes, 14, 2), "12 34 FF x10 00 00 skips 2");
    memset(bytes, 0xFF, 14);
    bytes[3] = 0;
    check(scanGives(bytes, 14, 4), "FF FF FF 00 FF x10 skips the broken run with its 00");
    memset(bytes, 0xFF, 14);
    bytes[9] = 0;
    check(scanGives(bytes, 14, 10), "FF x9 00 FF x4 keeps the run at the end");
    memset(bytes, 0xFF, 14);
    check(scanGives(bytes, 14, 0), "FF x14 starts with a sync mark");

    unsigned char body[5] = {1, 2, 3, 4, 5};
    DATABUFFER borrowed = {body, 5};
    KavraPDU pdu;
    pdu.setBuffer(borrowed);
    CIPByteBuffer frame;
    pdu.getData(frame);
    const unsigned char expected[19] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0, 0, 0, 5, 1, 2, 3, 4, 5};
    check(frame.getLength() == 19 && memcmp(frame.getBuffer(), expected, 19) == 0 &&
              pdu.getBufAddr() == body,
          "a borrowing PDU frames its 5 bytes with a big-endian length");
    KavraPDU copy(pdu);
    CIPByteBuffer again;
    copy.getData(again);
    check(copy.getBufAddr() != body && again.getLength() == 19 &&
              memcmp(again.getBuffer(), expected, 19) == 0,
          "a copy owns its own body and frames the same bytes");
}

void echoBothWays(unsigned short port, unsigned char* body, unsigned char* back) {
    KeepingClient client;
    check(client.SendPdu(nullptr, 9000) == 1, "SendPdu without a connection returns 1, throws nothing");
    CServerStatus server("127.0.0.1", port);
    check(client.SetSocket(nullptr, 0, &server) == 1 && client.Create() == 1,
          "SetSocket and Create start the client");
    argumentErrors(client, body);
    const unsigned int sizes[] = {1, 14, 999, 8812};
    for (unsigned int size : sizes) {
        for (unsigned int i = 0; i < size; ++i) {
            body[i] = patternByte(size, i);
        }
        check(client.SendPdu(body, size) == 0, "SendPdu queues a body");
    }
    for (unsigned int size : sizes) {
        memset(back, 0xA5, 8813);
        bool same = client.GetMessageA(back, patient(10000)) == 0 && back[size] == 0xA5;
        for (unsigned int i = 0; same && i < size; ++i) {
            same = back[i] == patternByte(size, i);
        }
        check(same, "GetMessageA gives the echoed body, byte for byte and in order");
    }
    check(client.arrived.Lock(0) == 1, "OnReceiveQueuePush was called for the PDUs");
    check(client.GetMessageA(back, 0) == 1, "nothing more waits");
    client.Destroy();
}

void destructorReleasesQueued(unsigned short port, unsigned char* body) {
    auto* client = new CountingClient;
    CServerStatus server("127.0.0.1", port);
    check(client->SetSocket(nullptr, 0, &server) == 1 && client->Create() == 1,
          "a second client starts");
    for (unsigned int i = 0; i < 3; ++i) {
        body[0] = static_cast<unsigned char>(i);
        client->SendPdu(body, 100);
    }
    int queued = 0;
    while (queued < 3 && client->arrived.Lock(patient(10000)) == 1) {
        ++queued;
    }
    check(queued == 3 && CountedPDU::destroyed == 0, "three echoes wait in the receive queue");
    client->Destroy();
    delete client;
    check(CountedPDU::destroyed == 3, "the destructor destroys each queued PDU once");
}

} // namespace

int main() {
    const unsigned int port = portArgument();
    if (port == 0 || port > 65535) {
        puts("usage: face_test 127.0.0.1 PORT (of a `kavra serve` echo peer)");
        return 2;
    }
    framing();
    auto* body = new unsigned char[8813];
    auto* back = new unsigned char[8813];
    echoBothWays(static_cast<unsigned short>(port), body, back);
    destructorReleasesQueued(static_cast<unsigned short>(port), body);
    delete[] body;
    delete[] back;
    puts(failures == 0 ? "face_test: all checks passed" : "face_test: FAILED");
    return failures == 0 ? 0 : 1;
}
