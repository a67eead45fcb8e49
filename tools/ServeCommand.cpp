#include "Address.h"
#include "Args.h"
#include "Commands.h"
#include "Peer.h"
#include "Terminal.h"
#include "TlsFlags.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <kavra/KavraClientThread.h>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kavra::tool {

namespace {

void parseSizes(const std::string& text, PeerOptions& options) {
    const auto dash = text.find('-');
    const std::uint64_t max = KavraClientThread::MAX_PDU_LENGTH;
    const std::uint64_t low = ParseUnsigned(text.substr(0, dash), "--size", max);
    const std::uint64_t high =
        dash == std::string::npos ? low : ParseUnsigned(text.substr(dash + 1), "--size", max);
    if (low == 0 || high < low) {
        throw UsageError("--size: expected N or MIN-MAX with 1 <= MIN <= MAX <= " +
                         std::to_string(max));
    }
    options.sizeMin = static_cast<unsigned int>(low);
    options.sizeMax = static_cast<unsigned int>(high);
}

// A stop that needs neither a console nor a signal: a service manager, a
// script or a test that started the server without a console (as on Windows
// under Wine) creates the file.
bool stopFileExists(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
}

std::vector<OptionInfo> serveOptions() {
    std::vector<OptionInfo> rows = {
        {"listen", "HOST:PORT", "where to listen (default 127.0.0.1:7000)"},
        {"mode", "MODE", "echo (default), sink or source"},
        {"rate", "N", "source: frames per second per connection (default 10)"},
        {"size", "N|MIN-MAX", "source: body size in bytes (default 64)"},
        {"garbage", "P", "chance per frame of 1..48 garbage bytes before it"},
        {"bad-length", "P", "chance per frame of a header with an impossible length"},
        {"oversize", "P", "chance per frame of an oversize frame (8813..16384 bytes) before it"},
        {"padding", "P", "chance per frame of 1..20 bytes 0xFF before it, half the time behind garbage"},
        {"torn", "P", "chance per frame of a frame cut short before it"},
        {"torn-padded", "", "fill a torn frame's missing tail with zeros"},
        {"stall", "P", "chance per frame of pausing output before it"},
        {"stall-ms", "MS", "length of a stall (default 200)"},
        {"drop-after", "N", "drop a connection after it has written N frames"},
        {"max-drops", "N", "drop at most N connections in all (default: no limit)"},
        {"seed", "N", "seed of the fault injection (default 1)"},
        {"duration", "SECONDS", "stop after this long (default: until Ctrl-C)"},
        {"stop-file", "PATH", "stop once a file PATH exists (it must not exist at start)"}};
    const std::vector<OptionInfo> tls = ServeTlsOptionRows();
    rows.insert(rows.begin() + 1, tls.begin(), tls.end());
    return rows;
}

} // namespace

int RunServe(int argc, char** argv) {
    Args args("serve", "kavra serve [--listen HOST:PORT] [--mode echo|sink|source] [OPTIONS]",
              "A peer that speaks the frame format to any number of clients at once: echo\n"
              "sends every frame back, sink counts and discards, source sends frames of its\n"
              "own. Faults are injected before frames it writes; --seed makes them repeat.\n"
              "With --tls-cert and --tls-key every connection speaks TLS, and the faults go\n"
              "inside the TLS stream. Prints 'listening on HOST:PORT' (port 0 picks a free\n"
              "one), a line per connection, and a summary when it stops (Ctrl-C, --duration\n"
              "or --stop-file).",
              {}, serveOptions());
    if (!args.Parse(argc, argv, 2)) {
        PrintLine(args.HelpText());
        return 0;
    }
    const Address listen = Address::Parse(args.Get("listen", "127.0.0.1:7000"), true);
    PeerOptions options;
    const std::string mode = args.Get("mode", "echo");
    if (mode == "echo") {
        options.mode = PeerOptions::Mode::Echo;
    } else if (mode == "sink") {
        options.mode = PeerOptions::Mode::Sink;
    } else if (mode == "source") {
        options.mode = PeerOptions::Mode::Source;
    } else {
        throw UsageError("--mode: '" + mode + "' is not echo, sink or source");
    }
    options.rate = args.GetDouble("rate", 10.0, 0.001, 1e6);
    parseSizes(args.Get("size", "64"), options);
    options.garbage = args.GetDouble("garbage", 0.0, 0.0, 1.0);
    options.badLength = args.GetDouble("bad-length", 0.0, 0.0, 1.0);
    options.oversize = args.GetDouble("oversize", 0.0, 0.0, 1.0);
    options.padding = args.GetDouble("padding", 0.0, 0.0, 1.0);
    options.torn = args.GetDouble("torn", 0.0, 0.0, 1.0);
    options.tornPadded = args.Has("torn-padded");
    options.stall = args.GetDouble("stall", 0.0, 0.0, 1.0);
    options.stallMs = static_cast<unsigned int>(args.GetUnsigned("stall-ms", 200, 60000));
    options.dropAfter = args.GetUnsigned("drop-after", 0, UINT64_MAX);
    options.maxDrops = args.GetUnsigned("max-drops", 0, UINT64_MAX);
    options.seed = args.GetUnsigned("seed", 1, UINT64_MAX);
    options.verbose = args.Has("verbose");
    ReadServeTls(args, options);
    const double duration = args.GetDouble("duration", 0.0, 0.0, 1e9);
    const std::string stopFile = args.Get("stop-file", "");
    if (stopFileExists(stopFile)) {
        throw std::runtime_error("stop file '" + stopFile + "' already exists");
    }

    Peer peer(listen.Host(), listen.Port(), options, PrintLine);
    PrintLine("listening on " + peer.Where() + " (" + mode +
              (options.tlsCertFile.empty() ? "" : ", TLS") + ")");
    peer.Start();
    const auto start = std::chrono::steady_clock::now();
    while (!Terminal::Interrupted() && !stopFileExists(stopFile)) {
        if (duration > 0.0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(duration)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    peer.Stop();
    PrintLine(peer.Summary());
    return 0;
}

} // namespace kavra::tool
