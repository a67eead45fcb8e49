// kavra: a test peer, a client for the shell, and a demonstration of the
// framed connection, in one program.
#include "Args.h"
#include "Commands.h"
#include "Terminal.h"

#include <cstdio>
#include <exception>
#include <string>

#ifndef KAVRA_VERSION
#error "KAVRA_VERSION must be defined by the build"
#endif

namespace {

const char kUsage[] = "usage: kavra COMMAND [OPTIONS]\n"
                      "\n"
                      "commands:\n"
                      "  demo               run a loopback peer with faults and a client "
                      "against it, check every byte\n"
                      "  serve              a peer that echoes, sinks or sends frames, with "
                      "fault injection\n"
                      "  send HOST:PORT     send standard input as PDUs, optionally print "
                      "replies\n"
                      "  recv HOST:PORT     print every PDU received\n"
                      "\n"
                      "'kavra COMMAND --help' describes a command's options; 'kavra --version' "
                      "prints the version.\n";

} // namespace

int main(int argc, char** argv) {
    using namespace kavra::tool;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, command.empty() ? stderr : stdout);
        return command.empty() ? 2 : 0;
    }
    if (command == "--version") {
        std::printf("kavra %s\n", KAVRA_VERSION);
        return 0;
    }
    Terminal::CatchInterrupt();
    try {
        if (command == "serve") {
            return RunServe(argc, argv);
        }
        if (command == "send") {
            return RunSend(argc, argv);
        }
        if (command == "recv") {
            return RunRecv(argc, argv);
        }
        if (command == "demo") {
            return RunDemo(argc, argv);
        }
        PrintError("kavra: unknown command '" + command + "' (see 'kavra --help')");
        return 2;
    } catch (const UsageError& error) {
        PrintError("kavra " + command + ": " + error.what());
        return 2;
    } catch (const std::exception& error) {
        PrintError("kavra " + command + ": " + error.what());
        return 1;
    } catch (...) {
        PrintError("kavra " + command + ": unexpected failure");
        return 1;
    }
}
