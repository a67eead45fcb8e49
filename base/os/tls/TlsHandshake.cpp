#include "base/os/tls/TlsHandshake.h"

namespace kavra::os {

SetupStep::Progress TlsHandshake::Advance(int& error, std::string& detail) {
    const Progress progress = m_stream->HandshakeSome(error);
    if (progress == Progress::Failed) {
        detail = m_stream->Detail();
    }
    return progress;
}

} // namespace kavra::os
