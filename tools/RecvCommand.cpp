#include "Address.h"
#include "Args.h"
#include "Commands.h"
#include "Format.h"
#include "Terminal.h"
#include "TlsFlags.h"
#include "ToolClient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace kavra::tool {

namespace {

std::vector<OptionInfo> recvOptions() {
    std::vector<OptionInfo> rows = {
        {"hex", "", "print bodies in hex"},
        {"out", "FILE", "append the raw bodies to FILE instead of printing them"},
        {"count", "N", "stop after N PDUs"},
        {"duration", "SECONDS", "stop after this long"},
        {"block", "", "when 100 PDUs wait, stop reading (slowing the server) instead of dropping"},
        {"idle-timeout", "SECONDS",
         "reconnect when nothing at all arrived for this long (off by default)"},
        {"proxy", "URL",
         "connect through this proxy: http://[USER:PASSWORD@]HOST:PORT or socks5://..."}};
    const std::vector<OptionInfo> tls = ClientTlsOptionRows();
    rows.insert(rows.end(), tls.begin(), tls.end());
    return rows;
}

} // namespace

int RunRecv(int argc, char** argv) {
    Args args("recv",
              "kavra recv HOST:PORT [--hex | --out FILE] [--count N] [--duration S] [--block]\n"
              "                      [--idle-timeout S] [--tls [--ca FILE] [--server-name NAME]\n"
              "                      [--cert FILE --key FILE] [--insecure]] [--proxy URL]",
              "Connects and prints the body of every PDU received, one per line. The\n"
              "connection is re-established with backoff when the server drops it, or when\n"
              "it stops answering (TCP keepalive, or --idle-timeout). Stops on\n"
              "Ctrl-C, after --count PDUs or after --duration seconds; a summary goes to\n"
              "standard error. --tls and --proxy as for send.",
              {"HOST:PORT"}, recvOptions());
    if (!args.Parse(argc, argv, 2)) {
        PrintLine(args.HelpText());
        return 0;
    }
    const Address address = Address::Parse(args.Positional(0), false);
    const bool hex = args.Has("hex");
    const bool verbose = args.Has("verbose");
    const std::uint64_t count = args.GetUnsigned("count", 0, UINT64_MAX);
    const double duration = args.GetDouble("duration", 0.0, 0.0, 1e9);
    const double idleTimeout = args.GetDouble("idle-timeout", 0.0, 0.0, 86400.0);
    const kavra::TlsOptions tls = ReadClientTls(args, "recv");

    std::ofstream file;
    if (args.Has("out")) {
        const std::string path = args.Get("out", "");
        file.open(path, std::ios::binary | std::ios::app);
        if (!file) {
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        }
    }

    ToolClient client;
    if (args.Has("block")) {
        client.SetReceiveOverflow(kavra::ReceiveOverflow::Block);
    }
    client.SetPrintEvents(verbose);
    client.Connect(address, true, static_cast<unsigned int>(idleTimeout * 1000.0), tls,
                   args.Get("proxy", ""));
    const auto start = std::chrono::steady_clock::now();
    std::vector<unsigned char> body(KavraClientThread::MAX_PDU_LENGTH);
    std::uint64_t received = 0;
    std::uint64_t bytes = 0;
    while (!Terminal::Interrupted() && (count == 0 || received < count)) {
        if (duration > 0.0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(duration)) {
            break;
        }
        unsigned int size = 0;
        if (client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 100) !=
            KavraClientThread::RECEIVE_OK) {
            continue;
        }
        ++received;
        bytes += size;
        if (verbose) {
            PrintError("PDU " + std::to_string(received) + ", " + std::to_string(size) + " bytes");
        }
        if (file.is_open()) {
            file.write(reinterpret_cast<const char*>(body.data()),
                       static_cast<std::streamsize>(size));
            if (!file) {
                throw std::runtime_error("cannot write to " + args.Get("out", ""));
            }
        } else if (hex) {
            std::string text = Format::Hex(body.data(), size);
            text.pop_back();
            PrintLine(text);
        } else {
            PrintLine(Format::Text(body.data(), size));
        }
    }
    const kavra::ConnectionStats stats = client.GetStats();
    client.Destroy();
    PrintError("kavra recv: received " + std::to_string(received) + " PDUs (" +
               std::to_string(bytes) + " bytes); skipped " +
               std::to_string(stats.resyncBytesDiscarded) + " garbage bytes and " +
               std::to_string(stats.badHeaders) + " bad headers; " +
               std::to_string(stats.reconnections) + " reconnections" +
               (stats.receiveDropsQueueFull > 0
                    ? "; dropped " + std::to_string(stats.receiveDropsQueueFull) +
                          " at a full receive queue"
                    : ""));
    return 0;
}

} // namespace kavra::tool
