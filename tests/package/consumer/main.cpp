// Frames a body and parses it back through the installed headers and library.
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <kavra/KavraPDU.h>
#include <kavra/base/CIPByteBuffer.h>

#include <cstdio>
#include <cstring>

int main() {
    char text[] = "abc";
    DATABUFFER body{text, 3};
    KavraPDU pdu;
    pdu.setBuffer(body);
    CIPByteBuffer wire;
    pdu.getData(wire);

    KavraHeader header;
    if (header.ValidateBuffer(wire) != 0 || wire.getLength() != 17) {
        return 1;
    }
    header.setData(wire);
    KavraPDU received;
    received.setBody(wire);
    const bool ok = header.getCommandLength() == 3 && received.getBufSize() == 3 &&
                    std::memcmp(received.getBufAddr(), "abc", 3) == 0;

    KavraClientThread client;
    const bool noSocket = client.SendPdu(text, 3) == 1;
    std::puts(ok && noSocket ? "consumer ok" : "consumer FAILED");
    return ok && noSocket ? 0 : 1;
}
