#include "support/ChildProcess.h"

#include "serving/ServingApi.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <vector>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavra::test {

namespace {

// The child may end before it reads its input (a tool that rejects its
// command line does): the write then fails with EPIPE instead of raising
// SIGPIPE, which would end the test program.
void WriteInput(int fd, const std::string& input) {
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    for (std::size_t done = 0; done < input.size();) {
        const ssize_t written = write(fd, input.data() + done, input.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    // A signal the writes raised waits, blocked, on this thread (also after
    // a write that the reader's end cut short): take it before the mask is
    // restored.
    const timespec now{0, 0};
    static_cast<void>(sigtimedwait(&pipeSignal, nullptr, &now));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace

struct ChildProcess::State {
    pid_t pid = -1;
    bool reaped = false;
    unsigned long startError = 0;
    int out = -1;
    int err = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& input)
    : m_state(std::make_unique<State>()) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        m_state->startError = static_cast<unsigned long>(errno);
        return;
    }
    m_state->pid = fork();
    if (m_state->pid < 0) {
        m_state->startError = static_cast<unsigned long>(errno);
    }
    if (m_state->pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        std::vector<char*> argv;
        std::string path = program;
        argv.push_back(path.data());
        std::vector<std::string> copy = args;
        for (std::string& arg : copy) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_state->out = out[0];
    m_state->err = err[0];
    // Small inputs fit the pipe; closing it gives the child its end of file.
    WriteInput(in[1], input);
    close(in[1]);
}

ChildProcess::~ChildProcess() {
    if (Started() && !m_state->reaped) {
        Kill();
    }
    close(m_state->out);
    close(m_state->err);
}

bool ChildProcess::Started() const {
    return m_state->pid > 0;
}

unsigned long ChildProcess::StartError() const {
    return m_state->startError;
}

bool ChildProcess::Pump(int timeoutMs, std::string& out, std::string& err) {
    std::vector<os::WaitItem> pipes(2);
    pipes[0].handle = m_state->out;
    pipes[1].handle = m_state->err;
    pipes[0].wantRead = pipes[1].wantRead = true;
    int error = 0;
    if (os::WaitAny(pipes, timeoutMs, error) <= 0) {
        return false;
    }
    bool any = false;
    char chunk[4096];
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        if (!pipes[i].readable) {
            continue;
        }
        const ssize_t got = read(static_cast<int>(pipes[i].handle), chunk, sizeof chunk);
        if (got > 0) {
            (i == 0 ? out : err).append(chunk, static_cast<std::size_t>(got));
            any = true;
        }
    }
    return any;
}

std::optional<int> ChildProcess::Poll() {
    int status = 0;
    if (!Started() || waitpid(m_state->pid, &status, WNOHANG) != m_state->pid) {
        return std::nullopt;
    }
    m_state->reaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Kill() {
    kill(m_state->pid, SIGKILL);
    int status = 0;
    waitpid(m_state->pid, &status, 0);
    m_state->reaped = true;
}

bool ChildProcess::Interrupt() {
    return kill(m_state->pid, SIGINT) == 0;
}

} // namespace kavra::test
