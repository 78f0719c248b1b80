#include "HeadlessProcess.h"

#include <regex>
#include <sstream>
#include <stdexcept>

#include "firewall/SimFirewallState.h"
#include "platform/AtomicFile.h"

namespace quellbox::testing {

void HeadlessProcess::writeFile(const std::string& name, const std::string& contents) const {
    if (!AtomicFile::write(path(name), contents)) {
        throw std::runtime_error("can't write " + name);
    }
}

void HeadlessProcess::start(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{QUELLBOX_BINARY, "--headless"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    run_ = std::make_unique<ProgramRun>(ProgramRun::Options{
        command, "", folder_.path(), {"QUELLBOX_SIM_STATE=" + path("sim.state").string()}});
    if (!run_->start()) {
        throw std::runtime_error("can't start " + command[0]);
    }
}

int HeadlessProcess::run(const std::vector<std::string>& arguments) {
    start(arguments);
    return wait();
}

std::size_t HeadlessProcess::simulatedRules() const {
    const auto state = SimFirewallState::load(path("sim.state"));
    return state ? state->rules.size() : 0;
}

std::vector<StatsLine> readStats(const std::filesystem::path& file) {
    std::vector<StatsLine> lines;
    std::istringstream text(AtomicFile::read(file).value_or(""));
    const std::regex engine(R"re("engine":\{([^}]*)\})re");
    const std::regex number(R"re("(\w+)":(\d+))re");
    const std::regex client(
        R"re(\{"address":"[^"]*","login":"([^"]*)","name":"[^"]*","kind":"\w+","port":\d+,"wire_bytes":(\d+),"delivered_bytes":(\d+))re");
    std::string line;
    while (std::getline(text, line)) {
        StatsLine stats;
        std::smatch match;
        if (std::regex_search(line, match, engine)) {
            const std::string fields = match[1];
            for (auto it = std::sregex_iterator(fields.begin(), fields.end(), number);
                 it != std::sregex_iterator(); ++it) {
                stats.engine[(*it)[1]] = std::stoll((*it)[2]);
            }
        }
        for (auto it = std::sregex_iterator(line.begin(), line.end(), client);
             it != std::sregex_iterator(); ++it) {
            stats.clients.push_back({(*it)[1], std::stoll((*it)[2]), std::stoll((*it)[3])});
        }
        lines.push_back(stats);
    }
    return lines;
}

}  // namespace quellbox::testing
