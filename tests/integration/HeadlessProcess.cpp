#include "HeadlessProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/AtomicFile.h"

extern char** environ;

namespace quellbox::testing {

HeadlessProcess::HeadlessProcess() = default;

HeadlessProcess::~HeadlessProcess() {
    if (child_ > 0) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
}

void HeadlessProcess::writeFile(const std::string& name, const std::string& contents) const {
    if (!AtomicFile::write(path(name), contents)) {
        throw std::runtime_error("can't write " + name);
    }
}

void HeadlessProcess::start(const std::vector<std::string>& arguments) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (!text.starts_with("XDG_") && !text.starts_with("HOME=") &&
            !text.starts_with("QUELLBOX_SIM_STATE=")) {
            environment.push_back(text);
        }
    }
    std::filesystem::create_directories(path("run"));
    environment.push_back("HOME=" + folder_.path().string());
    environment.push_back("XDG_CONFIG_HOME=" + path("config").string());
    environment.push_back("XDG_RUNTIME_DIR=" + path("run").string());
    environment.push_back("QUELLBOX_SIM_STATE=" + path("sim.state").string());

    std::vector<std::string> words{QUELLBOX_BINARY, "--headless"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path("stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, path("stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int result = posix_spawn(&child_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        child_ = -1;
        throw std::runtime_error("can't start " + words[0]);
    }
}

int HeadlessProcess::wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child_, SIGKILL);
            waitpid(child_, &status, 0);
            child_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int HeadlessProcess::run(const std::vector<std::string>& arguments) {
    start(arguments);
    return wait();
}

void HeadlessProcess::signal(int number) const {
    if (child_ > 0) {
        kill(child_, number);
    }
}

bool HeadlessProcess::waitForOutputLines(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = output();
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= count) {
            return true;
        }
        if (child_ <= 0 || waitpid(child_, nullptr, WNOHANG) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string HeadlessProcess::output() const {
    return AtomicFile::read(path("stdout")).value_or("");
}

std::string HeadlessProcess::errors() const {
    return AtomicFile::read(path("stderr")).value_or("");
}

std::vector<std::string> HeadlessProcess::simulatedRules() const {
    std::vector<std::string> rules;
    std::istringstream state(AtomicFile::read(path("sim.state")).value_or(""));
    std::string line;
    while (std::getline(state, line)) {
        if (line.starts_with("rule ")) {
            rules.push_back(line);
        }
    }
    return rules;
}

std::vector<StatsLine> readStats(const std::filesystem::path& file) {
    std::vector<StatsLine> lines;
    std::istringstream text(AtomicFile::read(file).value_or(""));
    const std::regex time(R"re(^\{"time":([0-9.]+))re");
    const std::regex engine(R"re("engine":\{([^}]*)\})re");
    const std::regex number(R"re("(\w+)":(\d+))re");
    const std::regex client(
        R"re(\{"address":"[^"]*","login":"([^"]*)","name":"[^"]*","kind":"(\w+)","port":\d+,"wire_bytes":(\d+),"delivered_bytes":(\d+))re");
    std::string line;
    while (std::getline(text, line)) {
        StatsLine stats;
        std::smatch match;
        if (std::regex_search(line, match, time)) {
            stats.time = std::stod(match[1]);
        }
        if (std::regex_search(line, match, engine)) {
            const std::string fields = match[1];
            for (auto it = std::sregex_iterator(fields.begin(), fields.end(), number);
                 it != std::sregex_iterator(); ++it) {
                stats.engine[(*it)[1]] = std::stoll((*it)[2]);
            }
        }
        for (auto it = std::sregex_iterator(line.begin(), line.end(), client);
             it != std::sregex_iterator(); ++it) {
            stats.clients.push_back(
                {(*it)[1], (*it)[2], std::stoll((*it)[3]), std::stoll((*it)[4])});
        }
        lines.push_back(stats);
    }
    return lines;
}

}  // namespace quellbox::testing
