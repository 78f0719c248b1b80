#include "control/EngineProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace quellbox::control {

namespace {

constexpr std::chrono::milliseconds kDefaultGrace{10000};

bool writeAll(int fd, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// In the child: only async-signal-safe calls. The errno of a failed step goes up the report
// pipe, which closes unread on a successful exec.
[[noreturn]] void execEngine(char* const* argv, int childSocket, int report) {
    int failure = 0;
    if (::fcntl(childSocket, F_SETFD, 0) != 0) {
        failure = errno;
    } else {
        // The stop signals are blocked in the window's threads; the engine watches them itself.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv);
        failure = errno;
    }
    writeAll(report, &failure, sizeof failure);
    ::_exit(127);
}

int readReport(int report) {
    int failure = 0;
    for (;;) {
        const ssize_t n = ::read(report, &failure, sizeof failure);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == static_cast<ssize_t>(sizeof failure) ? failure : 0;
    }
}

bool waitWithin(pid_t pid, std::chrono::milliseconds grace, int& status) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd ready{pidfd, POLLIN, 0};
        int polled = 0;
        do {
            polled = ::poll(&ready, 1, static_cast<int>(grace.count()));
        } while (polled < 0 && errno == EINTR);
        ::close(pidfd);
        if (polled == 0) {
            return false;
        }
    }
    // The child has ended (or pidfd is not available here: then this waits for it).
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return true;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<EngineProcess> EngineProcess::spawn(const std::string& program,
                                                    const std::vector<std::string>& arguments,
                                                    std::string& error) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return nullptr;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(ends[0]);
        ::close(ends[1]);
        return nullptr;
    }
    // Everything the child needs is made before fork: it may only make async-signal-safe calls.
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    words.emplace_back("--control-fd");
    words.push_back(std::to_string(ends[1]));
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        ::close(report[0]);
        execEngine(argv.data(), ends[1], report[1]);
    }
    const int forkErrno = errno;
    ::close(ends[1]);
    ::close(report[1]);
    if (pid < 0) {
        ::close(ends[0]);
        ::close(report[0]);
        error = std::string("fork: ") + std::strerror(forkErrno);
        return nullptr;
    }
    const int failure = readReport(report[0]);
    ::close(report[0]);
    std::unique_ptr<EngineProcess> process(new EngineProcess(pid, ends[0]));
    if (failure != 0) {
        process->finish(kDefaultGrace);
        error = "cannot run " + program + ": " + std::strerror(failure);
        return nullptr;
    }
    return process;
}

EngineProcess::~EngineProcess() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
    finish(kDefaultGrace);
}

int EngineProcess::takeSocket() {
    const int socket = socket_;
    socket_ = -1;
    return socket;
}

int EngineProcess::finish(std::chrono::milliseconds grace) {
    if (reaped_) {
        return status_;
    }
    if (!waitWithin(pid_, grace, status_)) {
        ::kill(pid_, SIGKILL);
        waitWithin(pid_, kDefaultGrace, status_);
    }
    reaped_ = true;
    return status_;
}

}  // namespace quellbox::control
