// Reads frames from a server with a socket and poll loop of its own, cutting
// them out with kavra::FrameDecoder; no client thread involved.
// Usage: decoder_loop HOST PORT [COUNT]
#include <kavra/FrameDecoder.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A blocking connect, then non-blocking for the loop. -1 on failure.
int connectTo(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, port, &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST PORT [COUNT]\n", argv[0]);
        return 2;
    }
    const long count = argc > 3 ? std::atol(argv[3]) : 3;
    const int fd = connectTo(argv[1], argv[2]);
    if (fd < 0) {
        std::fprintf(stderr, "cannot connect to %s:%s\n", argv[1], argv[2]);
        return 1;
    }

    kavra::FrameDecoder decoder;
    std::vector<unsigned char> chunk(64 * 1024);
    std::vector<unsigned char> body;
    long received = 0;
    bool open = true;
    while (open && received < count) {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 3000) <= 0) {
            break; // 3 s without a byte: give up
        }
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        open = got > 0;
        // Feed stops behind each whole frame; take it and feed the rest.
        std::size_t used = 0;
        while (open && (used < static_cast<std::size_t>(got) || decoder.HasFrame())) {
            used += decoder.Feed(chunk.data() + used, static_cast<std::size_t>(got) - used);
            if (decoder.Next(body)) {
                std::printf("frame: %s\n", std::string(body.begin(), body.end()).c_str());
                ++received;
            }
        }
    }
    ::close(fd);

    const kavra::FrameDecoder::Counters& seen = decoder.GetCounters();
    std::printf("%ld frames; skipped %llu garbage bytes, %llu bad headers, %llu oversize\n",
                received, static_cast<unsigned long long>(seen.skippedBytes),
                static_cast<unsigned long long>(seen.badHeaders),
                static_cast<unsigned long long>(seen.oversizeDiscarded));
    return received == count ? 0 : 1;
}
