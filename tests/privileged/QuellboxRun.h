#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quellbox::privileged {

// One run of a program (quellbox-engine, quellbox, or setpriv starting one of them) inside a
// network namespace, its standard output and error read into a text that waitFor can wait on.
class QuellboxRun {
public:
    struct Options {
        std::vector<std::string> command;  // the program's absolute path first
        std::string ns;                    // the network namespace; empty: the test's own
        std::filesystem::path home;  // HOME, XDG_CONFIG_HOME=home/.config, XDG_RUNTIME_DIR=home
        std::vector<std::string> environment;  // further NAME=value entries
    };

    // Settings in `home` that cap the upload of `port` (what the desktop window saves), with
    // further plist entries.
    static void writeSettings(const std::filesystem::path& home, int port,
                              const std::string& extraEntries = "");

    explicit QuellboxRun(Options options);
    ~QuellboxRun();
    QuellboxRun(const QuellboxRun&) = delete;
    QuellboxRun& operator=(const QuellboxRun&) = delete;

    bool start();
    // Waits until the output holds `text` (true) or the program's output ends (false).
    bool waitFor(const std::string& text);
    std::string output();
    bool signal(int number);
    // The exit status, or -signal number when a signal ended it.
    int wait();
    pid_t pid() const { return pid_; }

private:
    Options options_;
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool ended_ = false;
};

}  // namespace quellbox::privileged
