// What every system's context shares: the notes of the files it was made
// from, and the one-off engine of TlsEngine::Create.
#include "base/os/tls/TlsContext.h"

#include <algorithm>
#include <system_error>

namespace kavra::os {

TlsContext::TlsContext(const TlsSettings& settings)
    : m_settings(settings), m_stamps(StampsOf(settings)) {}

std::vector<TlsContext::Stamp> TlsContext::StampsOf(const TlsSettings& settings) {
    std::vector<std::filesystem::path> paths;
    for (const std::string* file : {&settings.caFile, &settings.certFile, &settings.keyFile}) {
        if (!file->empty()) {
            paths.emplace_back(*file);
        }
    }
    std::error_code ec;
    if (!settings.caFolder.empty()) {
        paths.emplace_back(settings.caFolder);
        for (std::filesystem::directory_iterator it(settings.caFolder, ec), end; !ec && it != end;
             it.increment(ec)) {
            paths.push_back(it->path());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Stamp> stamps;
    for (const auto& path : paths) {
        Stamp stamp;
        stamp.path = path;
        // A file that cannot be read keeps the empty note: it changes once
        // the file appears.
        stamp.written = std::filesystem::last_write_time(path, ec);
        const bool regular = std::filesystem::is_regular_file(path, ec);
        stamp.size = regular ? std::filesystem::file_size(path, ec) : 0;
        stamps.push_back(stamp);
    }
    return stamps;
}

bool TlsContext::FilesChanged() const {
    return StampsOf(m_settings) != m_stamps;
}

std::unique_ptr<TlsEngine> TlsEngine::Create(const TlsSettings& settings, int& error,
                                             std::string& detail) {
    const auto context = TlsContext::Make(settings, error, detail);
    return context ? context->NewEngine(settings.serverName, "", error, detail) : nullptr;
}

} // namespace kavra::os
