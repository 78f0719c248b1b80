#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

namespace quellbox::testing {

// `quellbox --headless` as a child process with a home, settings, runtime folder and
// simulated firewall of its own; its output goes to files in that folder.
class HeadlessProcess {
public:
    HeadlessProcess();
    ~HeadlessProcess();

    const TempDir& folder() const { return folder_; }
    std::filesystem::path path(const std::string& name) const { return folder_ / name; }
    void writeFile(const std::string& name, const std::string& contents) const;

    // Starts the program with these arguments (after "--headless").
    void start(const std::vector<std::string>& arguments);
    // Waits for the exit (killing it after `limit`); answers the exit status, or -1 when it
    // did not exit normally.
    int wait(std::chrono::seconds limit = std::chrono::seconds(60));
    // Runs to the end; answers the exit status.
    int run(const std::vector<std::string>& arguments);
    void signal(int number) const;
    // Sleeps until the standard output holds `count` lines (false after 30 s or an exit).
    bool waitForOutputLines(std::size_t count) const;

    std::string output() const;
    std::string errors() const;
    // The rules left in the simulated firewall's state.
    std::vector<std::string> simulatedRules() const;

private:
    TempDir folder_;
    pid_t child_ = -1;
};

// One line of the JSON statistics, reduced to what the tests read.
struct StatsLine {
    struct Client {
        std::string login;
        std::string kind;
        long long wireBytes = 0;
        long long deliveredBytes = 0;
    };
    double time = 0;
    std::map<std::string, long long> engine;  // the numbers of the "engine" object
    std::vector<Client> clients;
};
std::vector<StatsLine> readStats(const std::filesystem::path& file);

}  // namespace quellbox::testing
