#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quellbox::testing {

// One run of a program as a child process, optionally inside a network namespace, with a
// fixed environment of its own (the sanitizers' options passed on); its standard output and
// error are read into one text that waitFor can wait on.
class ProgramRun {
public:
    struct Options {
        std::vector<std::string> command;  // the program's absolute path first
        std::string ns;                    // the network namespace; empty: the test's own
        std::filesystem::path home;  // HOME, XDG_CONFIG_HOME=home/.config, XDG_RUNTIME_DIR=home
        std::vector<std::string> environment;  // further NAME=value entries
    };

    explicit ProgramRun(Options options);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool start();
    // Waits until the output holds `text` (true) or the program's output ends (false).
    bool waitFor(const std::string& text);
    std::string output();
    bool signal(int number);
    // The exit status, or -signal number when a signal ended it; a run that has not ended
    // after a guard of a minute is killed.
    int wait();

private:
    Options options_;
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool ended_ = false;
};

}  // namespace quellbox::testing
