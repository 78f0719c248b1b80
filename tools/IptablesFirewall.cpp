#include "IptablesFirewall.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "firewall/CommandRunner.h"
#include "platform/Capabilities.h"

namespace quellbox {

namespace {

constexpr std::size_t kMaxListing = 64 * 1024 * 1024;

// The words of one iptables-save line; double quotes group words and are removed.
std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (c == '\\' && quoted && i + 1 < line.size()) {
            word += line[++i];
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

std::optional<std::string> valueAfter(const std::vector<std::string>& words,
                                      const std::string& option) {
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == option) {
            return words[i + 1];
        }
    }
    return std::nullopt;
}

}  // namespace

IptablesFirewall::IptablesFirewall(std::string iptables) : iptables_(std::move(iptables)) {}

std::string IptablesFirewall::defaultIptables() {
    // Only for a process without rights (tests): otherwise the environment would choose the
    // program that gets them.
    if (const char* path = ::getenv("QUELLBOX_IPTABLES");
        path != nullptr && *path && !Capabilities::isPrivileged()) {
        return path;
    }
    for (const char* candidate : {"/usr/sbin/iptables", "/sbin/iptables"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "/usr/sbin/iptables";
}

std::vector<std::string> IptablesFirewall::ruleMatchArguments(const IpfwCommand& rule) {
    char comment[32];
    std::snprintf(comment, sizeof comment, "%s%05d", kCommentPrefix, rule.rule);
    const bool server = rule.verb == IpfwCommand::Verb::AddServer;
    return {"-s",
            rule.address + "/32",
            "-o",
            rule.interfaceName,
            "-p",
            "tcp",
            "-m",
            "tcp",
            server ? "--sport" : "--dport",
            std::to_string(rule.port),
            "-m",
            "comment",
            "--comment",
            comment,
            "-j",
            "NFQUEUE",
            "--queue-num",
            std::to_string(rule.divertPort),
            "--queue-bypass"};
}

std::optional<IpfwCommand> IptablesFirewall::ruleFromMatchArguments(
    const std::vector<std::string>& words) {
    const auto comment = valueAfter(words, "--comment");
    const std::string prefix = kCommentPrefix;
    if (!comment || comment->rfind(prefix, 0) != 0) {
        return std::nullopt;
    }
    const auto source = valueAfter(words, "-s");
    const auto interfaceName = valueAfter(words, "-o");
    const auto sourcePort = valueAfter(words, "--sport");
    const auto destinationPort = valueAfter(words, "--dport");
    const auto queue = valueAfter(words, "--queue-num");
    if (!source || !interfaceName || !queue ||
        sourcePort.has_value() == destinationPort.has_value()) {
        return std::nullopt;
    }
    const std::string address = source->substr(0, source->find('/'));
    const std::string number = comment->substr(prefix.size());
    std::vector<std::string> command{"add", number, "divert", *queue, "tcp", "from", address};
    if (sourcePort) {
        command.insert(command.end(), {*sourcePort, "to", "any", "out", "via", *interfaceName});
    } else {
        command.insert(command.end(), {"to", "any", *destinationPort, "via", *interfaceName});
    }
    return IpfwCommand::parse(command, nullptr);
}

bool IptablesFirewall::iptables(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {iptables_, "-w"});
    const auto outcome = CommandRunner::runWithShapingRights(arguments, 0);
    if (!outcome || !outcome->exited || outcome->exitStatus != 0) {
        std::string line;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            line += " " + arguments[i];
        }
        std::fprintf(stderr, "quellbox-ipfw: iptables%s failed\n", line.c_str());
        return false;
    }
    return true;
}

std::optional<IptablesFirewall::Table> IptablesFirewall::readTable() {
    const auto outcome = CommandRunner::runWithShapingRights({iptables_, "-w", "-S"}, kMaxListing);
    if (!outcome || !outcome->exited || outcome->exitStatus != 0) {
        std::fprintf(stderr, "quellbox-ipfw: cannot read the iptables filter table\n");
        return std::nullopt;
    }
    Table table;
    std::istringstream lines(outcome->output);
    for (std::string line; std::getline(lines, line);) {
        const auto words = splitWords(line);
        if (words.size() == 2 && words[0] == "-N" && words[1] == kChain) {
            table.chainExists = true;
        } else if (words.size() == 4 && words[0] == "-A" && words[1] == "OUTPUT" &&
                   words[2] == "-j" && words[3] == kChain) {
            table.hooked = true;
        } else if (words.size() > 2 && words[0] == "-A" && words[1] == kChain) {
            ChainRule rule;
            rule.words.assign(words.begin() + 2, words.end());
            rule.ours = ruleFromMatchArguments(rule.words);
            table.rules.push_back(std::move(rule));
        }
    }
    return table;
}

int IptablesFirewall::execute(const IpfwCommand& command) {
    switch (command.verb) {
        case IpfwCommand::Verb::List:
            return list();
        case IpfwCommand::Verb::AddServer:
        case IpfwCommand::Verb::AddClient:
            return add(command);
        case IpfwCommand::Verb::Delete:
            return remove(command.rule);
    }
    return 1;
}

int IptablesFirewall::list() {
    const auto table = readTable();
    if (!table) {
        return 1;
    }
    // The chain is kept in order; sort anyway, so that a hand-edited chain lists sensibly.
    std::vector<IpfwCommand> rules;
    for (const auto& rule : table->rules) {
        if (rule.ours) {
            rules.push_back(*rule.ours);
        }
    }
    std::stable_sort(rules.begin(), rules.end(),
                     [](const IpfwCommand& a, const IpfwCommand& b) { return a.rule < b.rule; });
    for (const auto& rule : rules) {
        std::printf("%s\n", rule.listingLine().c_str());
    }
    std::printf("%s\n", IpfwCommand::defaultRuleLine().c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int IptablesFirewall::add(const IpfwCommand& rule) {
    const auto table = readTable();
    if (!table) {
        return 1;
    }
    if (!table->chainExists && !iptables({"-N", kChain})) {
        return 1;
    }
    // After every rule of ours with the same or a lower number (and after foreign rules
    // among them): the first of ours with a higher number marks the place.
    std::size_t position = table->rules.size() + 1;
    for (std::size_t i = 0; i < table->rules.size(); ++i) {
        if (table->rules[i].ours && table->rules[i].ours->rule > rule.rule) {
            position = i + 1;
            break;
        }
    }
    std::vector<std::string> arguments{"-I", kChain, std::to_string(position)};
    const auto matchArguments = ruleMatchArguments(rule);
    arguments.insert(arguments.end(), matchArguments.begin(), matchArguments.end());
    if (!iptables(arguments)) {
        return 1;
    }
    if (!table->hooked && !iptables({"-I", "OUTPUT", "1", "-j", kChain})) {
        return 1;
    }
    return 0;
}

int IptablesFirewall::remove(int number) {
    const auto table = readTable();
    if (!table) {
        return 1;
    }
    std::size_t removed = 0;
    for (const auto& rule : table->rules) {
        if (!rule.ours || rule.ours->rule != number) {
            continue;
        }
        std::vector<std::string> arguments{"-D", kChain};
        arguments.insert(arguments.end(), rule.words.begin(), rule.words.end());
        if (!iptables(arguments)) {
            return 1;
        }
        ++removed;
    }
    if (removed == 0) {
        std::fprintf(stderr, "quellbox-ipfw: rule %d: no such rule\n", number);
        return 1;
    }
    if (removed == table->rules.size()) {
        // The last rule is gone: take the chain and its hook away, leaving iptables as it
        // was before the first rule.
        if (table->hooked && !iptables({"-D", "OUTPUT", "-j", kChain})) {
            return 1;
        }
        if (!iptables({"-X", kChain})) {
            return 1;
        }
    }
    return 0;
}

}  // namespace quellbox
