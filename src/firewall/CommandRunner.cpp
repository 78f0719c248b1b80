#include "firewall/CommandRunner.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Capabilities.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// In the child only async-signal-safe calls are allowed: plain write(2) of fixed texts.
void writeToStandardError(const char* text) {
    const size_t length = std::strlen(text);
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(STDERR_FILENO, text + written, length - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<size_t>(n);
    }
}

[[noreturn]] void failInChild(const char* message) {
    writeToStandardError(message);
    ::_exit(CommandRunner::kExecFailedStatus);
}

// `grant`: the shaping rights and the bare environment; null: no capability and the
// inherited environment.
[[noreturn]] void execInChild(const char* const* arguments, int readEnd, int writeEnd,
                              const Capabilities::ChildGrant* grant) {
    if (::dup2(writeEnd, STDOUT_FILENO) < 0) {
        failInChild("Quellbox Error : dup2()\n");
    }
    // Both pipe ends are close-on-exec; closing them here keeps the child's descriptors tidy
    // even where execv is not reached.
    ::close(readEnd);
    if (writeEnd != STDOUT_FILENO) {
        ::close(writeEnd);
    }
    // Sockets made by libraries without close-on-exec (the metrics server's accepted
    // connections among them) must not reach a firewall program.
    if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
        failInChild("Quellbox Error : close_range()\n");
    }
    if (grant == nullptr) {
        if (Capabilities::dropAmbientInChild() != 0) {
            failInChild("Quellbox Error : prctl()\n");
        }
        ::execv(arguments[0], const_cast<char* const*>(arguments));
    } else {
        if (Capabilities::applyInChild(*grant) != 0) {
            failInChild("Quellbox Error : capset()\n");
        }
        char* const environment[] = {const_cast<char*>(CommandRunner::kShapingEnvironment),
                                     nullptr};
        ::execve(arguments[0], const_cast<char* const*>(arguments), environment);
    }
    failInChild("'execv()' should not return !\n");
}

pid_t forkRetryingWhileBusy() {
    for (;;) {
        const pid_t pid = ::fork();
        if (pid >= 0 || errno != EAGAIN) {
            return pid;
        }
    }
}

// Reads the pipe to its end. Keeps the first maxOutput bytes; false when a read fails.
bool drainPipe(int readEnd, std::size_t maxOutput, std::string& output) {
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(readEnd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return true;
        }
        const std::size_t room = maxOutput - output.size();
        output.append(chunk, std::min(room, static_cast<std::size_t>(n)));
    }
}

bool waitForChild(pid_t pid, int& status) {
    for (;;) {
        if (::waitpid(pid, &status, 0) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

std::vector<const char*> pointersTo(const std::vector<std::string>& arguments) {
    std::vector<const char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::optional<CommandRunner::Outcome> launch(const char* const* arguments, std::size_t maxOutput,
                                             const Capabilities::ChildGrant* grant) {
    if (arguments == nullptr || arguments[0] == nullptr) {
        errno = EINVAL;
        SystemLog::reportError("Quellbox Error : execv()");
        return std::nullopt;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        SystemLog::reportError("Quellbox Error : pipe()");
        return std::nullopt;
    }
    const int readEnd = ends[0];
    const int writeEnd = ends[1];

    const pid_t pid = forkRetryingWhileBusy();
    if (pid < 0) {
        SystemLog::reportError("Quellbox Error : fork()");
        ::close(readEnd);
        ::close(writeEnd);
        return std::nullopt;
    }
    if (pid == 0) {
        execInChild(arguments, readEnd, writeEnd, grant);
    }
    ::close(writeEnd);

    CommandRunner::Outcome outcome;
    const bool readOk = drainPipe(readEnd, maxOutput, outcome.output);
    const int readErrno = errno;
    ::close(readEnd);

    int status = 0;
    if (!waitForChild(pid, status)) {
        SystemLog::reportError("Quellbox Error : waitpid()");
        return std::nullopt;
    }
    if (!readOk) {
        errno = readErrno;
        SystemLog::reportError("Quellbox Error : read()");
        return std::nullopt;
    }
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitStatus = WEXITSTATUS(status);
    } else {
        outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return outcome;
}

}  // namespace

std::optional<CommandRunner::Outcome> CommandRunner::run(const std::vector<std::string>& arguments,
                                                         std::size_t maxOutput) {
    return launch(pointersTo(arguments).data(), maxOutput, nullptr);
}

std::optional<CommandRunner::Outcome> CommandRunner::run(const char* const* arguments,
                                                         std::size_t maxOutput) {
    return launch(arguments, maxOutput, nullptr);
}

std::optional<CommandRunner::Outcome> CommandRunner::runWithShapingRights(
    const std::vector<std::string>& arguments, std::size_t maxOutput) {
    const Capabilities::ChildGrant grant = Capabilities::prepareShapingGrant();
    return launch(pointersTo(arguments).data(), maxOutput, &grant);
}

}  // namespace quellbox
