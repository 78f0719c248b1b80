#include "ProgramRun.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace quellbox::testing {

namespace {
constexpr auto kOutputGuard = std::chrono::seconds(30);  // failure guards only
constexpr auto kExitGuard = std::chrono::seconds(60);

// A home of its own, the sanitizers' options (a report must fail the run), the run's entries.
std::vector<std::string> childEnvironment(const ProgramRun::Options& options) {
    const std::string home = options.home.string();
    std::vector<std::string> entries{"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                     "XDG_RUNTIME_DIR=" + home,
                                     "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.substr(0, text.find('=')).ends_with("SAN_OPTIONS")) {
            entries.push_back(text);
        }
    }
    entries.insert(entries.end(), options.environment.begin(), options.environment.end());
    return entries;
}
}  // namespace

ProgramRun::ProgramRun(Options options) : options_(std::move(options)) {}

ProgramRun::~ProgramRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

bool ProgramRun::start() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<std::string> environment = childEnvironment(options_);
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (auto& word : options_.command) argv.push_back(word.data());
    for (auto& entry : environment) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string nsPath = "/run/netns/" + options_.ns;
    const bool enterNamespace = !options_.ns.empty();

    pid_ = ::fork();
    if (pid_ < 0) {
        return false;
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on.
        if (enterNamespace) {
            const int nsFd = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0) {
                ::_exit(120);
            }
        }
        if (::dup2(pipeFds[1], STDOUT_FILENO) < 0 || ::dup2(pipeFds[1], STDERR_FILENO) < 0) {
            ::_exit(121);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    reader_ = std::thread([this, fd = pipeFds[0]] {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard guard(mutex_);
            if (n <= 0) {
                ended_ = true;
                changed_.notify_all();
                break;
            }
            output_.append(chunk, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        ::close(fd);
    });
    return true;
}

bool ProgramRun::waitFor(const std::string& text) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, kOutputGuard, [&] {
        return ended_ || output_.find(text) != std::string::npos;
    }) && output_.find(text) != std::string::npos;
}

std::string ProgramRun::output() {
    std::lock_guard guard(mutex_);
    return output_;
}

bool ProgramRun::signal(int number) { return pid_ > 0 && ::kill(pid_, number) == 0; }

int ProgramRun::wait() {
    if (pid_ <= 0) {
        return -1;
    }
    {
        std::unique_lock guard(mutex_);
        if (!changed_.wait_for(guard, kExitGuard, [&] { return ended_; })) {
            ::kill(pid_, SIGKILL);
        }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (reader_.joinable()) {
        reader_.join();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace quellbox::testing
