#include "Args.h"
#include "Commands.h"
#include "Demo.h"
#include "Terminal.h"
#include "TlsFlags.h"

namespace kavra::tool {

int RunDemo(int argc, char** argv) {
    Args args("demo",
              "kavra demo [--count N | --duration SECONDS] [--senders N] [--seed N] [--lossless]\n"
              "                  [--tls] [--proxy URL]",
              "Starts an echo peer in this process that injects faults (garbage, 0xFF padding,\n"
              "bad length fields, oversize frames, torn frames, stalls, one dropped\n"
              "connection), connects a client, sends\n"
              "PDUs of 1..8812 bytes from several threads, checks every byte of every echo,\n"
              "and prints what happened to each PDU. Exits 0 only when every PDU sent was\n"
              "verified or its loss accounted for; with --lossless, only when the client\n"
              "dropped nothing itself and only frames in flight at the drop were lost.\n"
              "With --tls the peer serves TLS with a certificate made for the run (removed\n"
              "afterwards) that the client trusts as its CA, and every fault happens inside\n"
              "the TLS stream. With --proxy the client reaches the peer through that proxy\n"
              "(which must be allowed to connect to 127.0.0.1), and reconnects through it.",
              {},
              {{"count", "N", "PDUs to send (default 4000)"},
               {"duration", "SECONDS", "send for this long instead of --count PDUs"},
               {"senders", "N", "sender threads (default 4, at most 16)"},
               {"seed", "N", "seed of the sizes and of the peer's faults (default 1)"},
               {"no-faults", "", "a well-behaved peer"},
               {"lossless", "",
                "the client holds PDUs while disconnected and stops reading at a full "
                "receive queue"},
               {"tls", "", "run the peer and the client over TLS"},
               {"proxy", "URL", "the client goes through this HTTP or SOCKS5 proxy"},
               {"plain", "", "progress as plain lines even on a terminal"}});
    if (!args.Parse(argc, argv, 2)) {
        PrintLine(args.HelpText());
        return 0;
    }
    DemoOptions options;
    options.count = args.GetUnsigned("count", 4000, 100000000);
    if (options.count == 0) {
        throw UsageError("--count: must be at least 1");
    }
    options.durationSeconds = args.GetDouble("duration", 0.0, 0.0, 86400.0);
    options.senders = static_cast<unsigned int>(args.GetUnsigned("senders", 4, 16));
    if (options.senders == 0) {
        throw UsageError("--senders: must be from 1 to 16");
    }
    options.seed = args.GetUnsigned("seed", 1, UINT64_MAX);
    options.faults = !args.Has("no-faults");
    options.lossless = args.Has("lossless");
    options.tls = args.Has("tls");
    if (options.tls) {
        RequireServingTls();
    }
    options.proxy = args.Get("proxy", "");
    options.verbose = args.Has("verbose");
    options.progressBar = Terminal::StdoutIsTerminal() && !args.Has("plain") && !options.verbose;
    Demo demo(options);
    return demo.Run() ? 0 : 1;
}

} // namespace kavra::tool
