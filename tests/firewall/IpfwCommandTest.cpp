#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "IptablesFirewall.h"
#include "firewall/CommandRunner.h"
#include "firewall/IpfwCommand.h"
#include "firewall/PacketBackend.h"
#include "firewall/RuleGuard.h"

namespace quellbox {
namespace {

// The words of a server rule from `address` port 6700 out via `interfaceName` to `queue`.
std::vector<std::string> serverRule(const std::string& address, const std::string& interfaceName,
                                    const std::string& queue = "6715",
                                    const std::string& port = "6700",
                                    const std::string& number = "65534") {
    return {"add", number, "divert", queue, "tcp", "from",       address,
            port,  "to",   "any",    "out", "via", interfaceName};
}

// `words` with the word at `at` replaced, or cut off there when `word` is empty.
std::vector<std::string> edited(std::vector<std::string> words, std::size_t at,
                                const std::string& word = "") {
    if (word.empty()) {
        words.resize(at);
    } else {
        words[at] = word;
    }
    return words;
}

struct Refused {
    std::vector<std::string> words;
    std::string reason;  // a part of the refusal
};

void expectRefusals(const RuleGuard& guard, const std::vector<Refused>& cases) {
    for (const auto& [words, reason] : cases) {
        std::string command;
        for (const auto& word : words) {
            command += word + " ";
        }
        const std::string refusal = guard.refusal(words);
        EXPECT_FALSE(refusal.empty()) << command;
        EXPECT_NE(refusal.find(reason), std::string::npos) << command << "-> '" << refusal << "'";
        EXPECT_EQ(refusal.find('\n'), std::string::npos) << refusal;
    }
}

TEST(IpfwCommand, TheFourCommandsOfTheRuleManagerParse) {
    const struct {
        std::vector<std::string> words;
        IpfwCommand::Verb verb;
        int rule;
        std::string listingLine;  // of an added rule
    } cases[] = {
        {{"list"}, IpfwCommand::Verb::List, 0, ""},
        {{"delete", "65533"}, IpfwCommand::Verb::Delete, 65533, ""},
        {{"add", "65534", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "out",
          "via", "eth0"},
         IpfwCommand::Verb::AddServer,
         65534,
         "65534 divert 6715 tcp from 192.0.2.1 80 to any out via eth0"},
        {{"add", "7", "divert", "6716", "tcp", "from", "192.0.2.1", "to", "any", "8080", "via",
          "eth0"},
         IpfwCommand::Verb::AddClient,
         7,
         "00007 divert 6716 tcp from 192.0.2.1 to any 8080 via eth0"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto command = IpfwCommand::parse(c.words, &error);
        ASSERT_TRUE(command) << error;
        EXPECT_EQ(command->verb, c.verb);
        EXPECT_EQ(command->rule, c.rule);
        if (!c.listingLine.empty()) {
            EXPECT_EQ(command->listingLine(), c.listingLine);
        }
    }
}

TEST(IptablesFirewall, RulesRoundTripThroughTheirIptablesWords) {
    for (const auto& line : {"65534 divert 6715 tcp from 192.0.2.10 5001 to any out via veth0",
                             "00012 divert 6715 tcp from 192.0.2.10 to any 5001 via veth0"}) {
        const auto rule = IpfwCommand::parseListingLine(line, nullptr);
        ASSERT_TRUE(rule);
        const auto words = IptablesFirewall::ruleMatchArguments(*rule);
        const auto back = IptablesFirewall::ruleFromMatchArguments(words);
        ASSERT_TRUE(back) << line;
        EXPECT_EQ(back->listingLine(), line);
    }
    // A rule of someone else's (no comment of ours) is not taken for one of ours.
    EXPECT_FALSE(IptablesFirewall::ruleFromMatchArguments({"-s", "192.0.2.10/32", "-p", "tcp", "-m",
                                                           "tcp", "--dport", "22", "-j", "NFQUEUE",
                                                           "--queue-num", "6715"}));
}

// quellbox-ipfw's exit status for `words` (-1 when it could not be run). A slip that let a
// command through would reach iptables: as root the tool runs in a network namespace of its
// own, otherwise its iptables is a program that does not exist.
int runTool(const std::vector<std::string>& words) {
    return testing::runInChild([&] {
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) != 0) {
            return 125;
        }
        ::setenv("QUELLBOX_IPTABLES", "/nonexistent/iptables", 1);
        std::vector<std::string> arguments{PacketBackend::toolPath("quellbox-ipfw")};
        arguments.insert(arguments.end(), words.begin(), words.end());
        const auto outcome = CommandRunner::run(arguments, 4096);
        return outcome && outcome->exited ? outcome->exitStatus : 126;
    });
}

TEST(IptablesFirewall, TheToolRefusesBadCommandsBeforeTouchingIptables) {
    constexpr int kUsage = 64;
    constexpr int kRefused = 77;
    // The loopback address and interface exist wherever the tool runs, in a fresh network
    // namespace too. Each refusal's reasons are the rule guard's (below).
    const struct {
        std::vector<std::string> words;
        int status;
        std::string message;
    } cases[] = {
        {{"flush"}, kUsage, "unknown or malformed command 'flush'"},
        {{}, kUsage, "missing command"},
        {serverRule("198.51.100.77", "lo"), kRefused,
         "refused: 198.51.100.77 is not an IPv4 address of this machine"},
        {serverRule("127.0.0.1", "lo", "6716"), kRefused, "refused: divert port 6716 is not"},
    };
    for (const auto& [words, status, message] : cases) {
        ::testing::internal::CaptureStderr();
        const int exitStatus = runTool(words);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(exitStatus, status) << errors;
        EXPECT_NE(errors.find("quellbox-ipfw: " + message), std::string::npos) << errors;
        EXPECT_EQ(errors.find("iptables"), std::string::npos) << errors;
    }
}

// The guard parses every command first: its refusals are also the parse's errors.
TEST(RuleGuard, ASimulatedMachineTakesOnlyItsOwnWellFormedRules) {
    const auto guard = RuleGuard::simulated({"192.0.2.1"}, {"sim0", "br_0.5-15-chars"});
    const auto server = serverRule("192.0.2.1", "sim0");
    const std::vector<std::string> client{"add",       "1",  "divert", "6715",  "tcp", "from",
                                          "192.0.2.1", "to", "any",    "65535", "via", "sim0"};
    for (const auto& words :
         std::vector<std::vector<std::string>>{server,
                                               serverRule("192.0.2.1", "br_0.5-15-chars"),
                                               client,
                                               {"list"},
                                               {"delete", "65534"}}) {
        EXPECT_EQ(guard.refusal(words), "");
    }
    expectRefusals(
        guard, {
                   {serverRule("192.0.2.2", "sim0"), "192.0.2.2 is not an IPv4 address of"},
                   {serverRule("192.0.2.1", "eth0"), "there is no interface 'eth0'"},
                   {serverRule("192.0.2.1", "+"), "'+' is not a plain interface name"},
                   {serverRule("192.0.2.1", "sim+"), "'sim+' is not a plain interface name"},
                   {serverRule("192.0.2.1", "sim*"), "'sim*' is not a plain interface name"},
                   {serverRule("192.0.2.1", "s m"), "bad interface name"},
                   {serverRule("192.0.2.1", "br_0.5-16-charss"), "bad interface name"},
                   {serverRule("192.0.2.1", "sim0", "6716"), "divert port 6716 is not"},
                   {serverRule("192.0.2.1", "sim0", "8668"), "divert port 8668 is not"},
                   {serverRule("192.0.2.1", "sim0", "0"), "bad divert port '0'"},
                   {serverRule("192.0.2.1", "sim0", "6715", "0"), "bad port '0'"},
                   {serverRule("192.0.2.1", "sim0", "6715", "65536"), "bad port '65536'"},
                   {edited(client, 9, "x80"), "bad port 'x80'"},
                   {serverRule("192.0.2.1", "sim0", "6715", "6700", "0"), "bad rule number"},
                   {serverRule("192.0.2.1", "sim0", "6715", "6700", "65535"), "bad rule number"},
                   {serverRule("any", "sim0"), "bad IPv4 address 'any'"},
                   {serverRule("192.0.2", "sim0"), "bad IPv4 address '192.0.2'"},
                   {edited(server, 4, "udp"), "only 'divert D tcp from ...'"},
                   {edited(server, 10, "in"), "expected 'add N divert D tcp from A P to any"},
                   {edited(server, 6), "expected 'add N divert D tcp from A P to any"},
                   {edited(server, 12), "expected 'add N divert D tcp from A P to any"},
                   {{"delete", "0"}, "bad rule number '0'"},
                   {{"delete", "65535"}, "bad rule number '65535'"},
                   {{"delete", "12x"}, "bad rule number '12x'"},
                   {{"delete", "-5"}, "bad rule number '-5'"},
                   {{"delete"}, "unknown or malformed command 'delete'"},
                   {{"list", "extra"}, "unknown or malformed command 'list'"},
                   {{"flush"}, "unknown or malformed command"},
                   {{}, "missing command"},
               });
}

}  // namespace
}  // namespace quellbox
