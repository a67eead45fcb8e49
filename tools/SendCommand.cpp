#include "Address.h"
#include "Args.h"
#include "Commands.h"
#include "Format.h"
#include "Terminal.h"
#include "TlsFlags.h"
#include "ToolClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kavra::tool {

namespace {

std::string readAll(std::FILE* in) {
    std::string data;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        data.append(chunk, got);
    }
    if (std::ferror(in) != 0) {
        throw std::runtime_error("cannot read standard input");
    }
    return data;
}

std::vector<std::string> split(const std::string& data, const Args& args) {
    const unsigned int max = KavraClientThread::MAX_PDU_LENGTH;
    std::vector<std::string> pdus;
    if (args.Has("raw")) {
        if (data.size() > max) {
            throw std::runtime_error("the input is " + std::to_string(data.size()) +
                                     " bytes; the largest PDU is " + std::to_string(max) +
                                     " bytes (use --size to split it)");
        }
        if (!data.empty()) {
            pdus.push_back(data);
        }
        return pdus;
    }
    if (args.Has("size")) {
        const auto size = static_cast<std::size_t>(args.GetUnsigned("size", 0, max));
        if (size == 0) {
            throw UsageError("--size: must be from 1 to " + std::to_string(max));
        }
        for (std::size_t at = 0; at < data.size(); at += size) {
            pdus.push_back(data.substr(at, size));
        }
        return pdus;
    }
    std::size_t lineNumber = 0;
    for (std::size_t at = 0; at < data.size();) {
        std::size_t end = data.find('\n', at);
        if (end == std::string::npos) {
            end = data.size();
        }
        ++lineNumber;
        std::string line = data.substr(at, end - at);
        at = end + 1;
        if (line.size() > max) {
            throw std::runtime_error("line " + std::to_string(lineNumber) + " is " +
                                     std::to_string(line.size()) + " bytes; the largest PDU is " +
                                     std::to_string(max) + " bytes (use --size to split it)");
        }
        // A frame carries at least one byte, so an empty line has nothing to send.
        if (!line.empty()) {
            pdus.push_back(std::move(line));
        }
    }
    return pdus;
}

// Waits until every queued PDU was written or failed; false on Ctrl-C, or
// when the worker makes no progress for longer than one write may take. A
// client that holds PDUs waits for the server to come back, however long.
bool waitWritten(ToolClient& client, std::uint64_t count, bool hold) {
    auto lastProgress = std::chrono::steady_clock::now();
    std::uint64_t last = 0;
    for (;;) {
        const kavra::ConnectionStats stats = client.GetStats();
        const std::uint64_t done = stats.framesSent + stats.SendDropped();
        if (done >= count) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (done != last) {
            last = done;
            lastProgress = now;
        } else if (Terminal::Interrupted() ||
                   (!hold && now - lastProgress >
                                 std::chrono::milliseconds(KavraClientThread::SOCKET_IO_TIMEOUT_MS +
                                                           2000))) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<OptionInfo> sendOptions() {
    std::vector<OptionInfo> rows = {
        {"size", "N", "send chunks of N bytes (1..8812) instead of lines"},
        {"raw", "", "send the whole input as one PDU"},
        {"expect", "N", "wait for N replies and print them"},
        {"hex", "", "print replies in hex"},
        {"timeout", "MS", "longest wait for each reply (default 5000)"},
        {"hold", "",
         "reconnect after a drop and write the PDUs still queued (waits for the server)"},
        {"proxy", "URL",
         "connect through this proxy: http://[USER:PASSWORD@]HOST:PORT or socks5://..."}};
    const std::vector<OptionInfo> tls = ClientTlsOptionRows();
    rows.insert(rows.end(), tls.begin(), tls.end());
    return rows;
}

} // namespace

int RunSend(int argc, char** argv) {
    Args args("send",
              "kavra send HOST:PORT [--size N | --raw] [--expect N] [--hex] [--hold]\n"
              "                  [--tls [--ca FILE] [--server-name NAME] [--cert FILE --key FILE]\n"
              "                  [--insecure]] [--proxy URL]",
              "Reads standard input and sends each line (without its newline) as one PDU;\n"
              "empty lines are skipped, since a frame carries at least one byte. --size\n"
              "sends fixed-size chunks instead, --raw the whole input as one PDU. With\n"
              "--expect N it then waits for N replies and prints each on its own line.\n"
              "With --hold a dropped connection is re-established and the PDUs not yet\n"
              "written go out on it; frames the kernel had already taken are lost with the\n"
              "old one. With --tls the connection is encrypted and the server's certificate\n"
              "verified (against --ca, else the system's authorities) for HOST or\n"
              "--server-name. With --proxy every connection goes through an HTTP (CONNECT)\n"
              "or SOCKS5 proxy, which resolves HOST; TLS still verifies HOST, not the proxy.\n"
              "A summary goes to standard error.",
              {"HOST:PORT"}, sendOptions());
    if (!args.Parse(argc, argv, 2)) {
        PrintLine(args.HelpText());
        return 0;
    }
    const Address address = Address::Parse(args.Positional(0), false);
    if (args.Has("raw") && args.Has("size")) {
        throw UsageError("--raw and --size exclude each other");
    }
    const std::uint64_t expect = args.GetUnsigned("expect", 0, 1000000000);
    const auto timeout = static_cast<unsigned int>(args.GetUnsigned("timeout", 5000, 86400000));
    const bool hex = args.Has("hex");
    const bool verbose = args.Has("verbose");
    const bool hold = args.Has("hold");
    const kavra::TlsOptions tls = ReadClientTls(args, "send");

    const std::vector<std::string> pdus = split(readAll(stdin), args);

    ToolClient client;
    client.SetHoldWhileDisconnected(hold);
    client.SetPrintEvents(verbose);
    client.Connect(address, hold, 0, tls, args.Get("proxy", ""));
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < pdus.size(); ++i) {
        const std::string& pdu = pdus[i];
        if (client.SendPdu(pdu.data(), static_cast<unsigned int>(pdu.size())) != 0) {
            throw std::runtime_error("PDU " + std::to_string(i + 1) + " was refused");
        }
        bytes += pdu.size();
        if (verbose) {
            PrintError("sent PDU " + std::to_string(i + 1) + ", " + std::to_string(pdu.size()) +
                       " bytes");
        }
    }
    if (!waitWritten(client, pdus.size(), hold)) {
        const kavra::ConnectionStats stats = client.GetStats();
        const std::uint64_t left =
            pdus.size() -
            std::min<std::uint64_t>(pdus.size(), stats.framesSent + stats.SendDropped());
        throw std::runtime_error(Terminal::Interrupted()
                                     ? "interrupted with " + std::to_string(left) + " of " +
                                           std::to_string(pdus.size()) + " PDUs not written"
                                     : "the connection stopped taking data");
    }
    const kavra::ConnectionStats written = client.GetStats();
    if (written.SendDropped() > 0) {
        throw std::runtime_error(
            std::to_string(written.SendDropped()) + " of " + std::to_string(pdus.size()) +
            " PDUs could not be written (" +
            std::to_string(written.sendDroppedDisconnected + written.sendDroppedConnectionFailed) +
            " connection lost, " + std::to_string(written.sendDroppedTimedOut) + " timed out)");
    }

    std::vector<unsigned char> body(KavraClientThread::MAX_PDU_LENGTH);
    std::uint64_t replies = 0;
    for (; replies < expect; ++replies) {
        unsigned int size = 0;
        if (client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size,
                              timeout) != KavraClientThread::RECEIVE_OK) {
            break;
        }
        if (verbose) {
            PrintError("reply " + std::to_string(replies + 1) + ", " + std::to_string(size) +
                       " bytes");
        }
        if (hex) {
            std::string text = Format::Hex(body.data(), size);
            text.pop_back();
            PrintLine(text);
        } else {
            PrintLine(Format::Text(body.data(), size));
        }
    }
    const kavra::ConnectionStats stats = client.GetStats();
    client.Destroy();
    std::string summary =
        "sent " + std::to_string(pdus.size()) + " PDUs (" + std::to_string(bytes) + " bytes)";
    if (expect > 0) {
        summary += "; received " + std::to_string(replies) + " of " + std::to_string(expect) +
                   " replies; skipped " + std::to_string(stats.resyncBytesDiscarded) +
                   " garbage bytes and " + std::to_string(stats.badHeaders) + " bad headers";
    }
    if (stats.reconnections > 0) {
        // Held PDUs survive a drop; the frames the kernel had already taken
        // do not, and nothing acknowledges them.
        summary += "; " + std::to_string(stats.reconnections) +
                   " reconnections (frames in flight at a drop may not have arrived)";
    }
    PrintError("kavra send: " + summary);
    if (replies < expect) {
        throw std::runtime_error("timed out after " + std::to_string(timeout) +
                                 " ms waiting for reply " + std::to_string(replies + 1) + " of " +
                                 std::to_string(expect));
    }
    return 0;
}

} // namespace kavra::tool
