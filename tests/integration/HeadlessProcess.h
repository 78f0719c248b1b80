#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "TempDir.h"

namespace quellbox::testing {

// `quellbox --headless` as a child process with a home, settings, runtime folder and
// simulated firewall of its own.
class HeadlessProcess {
public:
    std::filesystem::path path(const std::string& name) const { return folder_ / name; }
    void writeFile(const std::string& name, const std::string& contents) const;

    // Starts the program with these arguments (after "--headless").
    void start(const std::vector<std::string>& arguments);
    // The exit status, or -signal number when a signal ended it.
    int wait() { return run_->wait(); }
    // Runs to the end; answers the exit status.
    int run(const std::vector<std::string>& arguments);
    void signal(int number) const { run_->signal(number); }
    // Waits until the output holds `text` (false once the program's output ends without it).
    bool waitFor(const std::string& text) const { return run_->waitFor(text); }
    // Standard output and error.
    std::string output() const { return run_ ? run_->output() : ""; }
    // The rules left in the simulated firewall's state.
    std::size_t simulatedRules() const;

private:
    TempDir folder_;
    std::unique_ptr<ProgramRun> run_;
};

// One line of the JSON statistics, reduced to what the tests read.
struct StatsLine {
    struct Client {
        std::string login;
        long long wireBytes = 0;
        long long deliveredBytes = 0;
    };
    std::map<std::string, long long> engine;  // the numbers of the "engine" object
    std::vector<Client> clients;
};
std::vector<StatsLine> readStats(const std::filesystem::path& file);

}  // namespace quellbox::testing
