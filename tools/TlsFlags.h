// The tool's TLS options: their rows in --help, their checks, and what a
// build that cannot do what they ask says about it. A build without TLS
// still lists them, so the manual page is the same for every build, and
// refuses each with "this build of kavra has no TLS" (exit status 2).
#pragma once

#include "Args.h"
#include "Peer.h"

#include <kavra/base/TlsOptions.h>

#include <string>
#include <vector>

namespace kavra::tool {

// --tls, --ca, --server-name, --cert, --key, --insecure (send and recv).
std::vector<OptionInfo> ClientTlsOptionRows();
// --tls-cert, --tls-key (serve).
std::vector<OptionInfo> ServeTlsOptionRows();

// The client's TLS from the command line (not enabled without --tls).
// Throws UsageError for options that do not go together or that this build
// cannot honour. --insecure prints a warning line on standard error.
kavra::TlsOptions ReadClientTls(const Args& args, const std::string& command);
// The certificate and key of serve; empty without --tls-cert. Throws
// UsageError as ReadClientTls.
void ReadServeTls(const Args& args, PeerOptions& options);

// Throws UsageError unless this build can serve TLS (serve, demo --tls).
void RequireServingTls();

} // namespace kavra::tool
