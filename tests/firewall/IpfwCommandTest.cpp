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

namespace quellbox {
namespace {

std::optional<IpfwCommand> parse(const std::vector<std::string>& words) {
    std::string error;
    auto command = IpfwCommand::parse(words, &error);
    if (!command) {
        EXPECT_FALSE(error.empty());
    }
    return command;
}

TEST(IpfwCommand, TheFourCommandsOfTheRuleManagerParse) {
    auto command = parse({"list"});
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, IpfwCommand::Verb::List);

    command = parse({"add", "65534", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to",
                     "any", "out", "via", "eth0"});
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, IpfwCommand::Verb::AddServer);
    EXPECT_EQ(command->rule, 65534);
    EXPECT_EQ(command->divertPort, 6715);
    EXPECT_EQ(command->address, "192.0.2.1");
    EXPECT_EQ(command->port, 80);
    EXPECT_EQ(command->interfaceName, "eth0");
    EXPECT_EQ(command->listingLine(),
              "65534 divert 6715 tcp from 192.0.2.1 80 to any out via eth0");

    command = parse({"add", "7", "divert", "6715", "tcp", "from", "192.0.2.1", "to", "any", "8080",
                     "via", "eth0"});
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, IpfwCommand::Verb::AddClient);
    EXPECT_EQ(command->listingLine(), "00007 divert 6715 tcp from 192.0.2.1 to any 8080 via eth0");
    EXPECT_EQ(IpfwCommand::parseListingLine(command->listingLine(), nullptr)->listingLine(),
              command->listingLine());

    command = parse({"delete", "65533"});
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, IpfwCommand::Verb::Delete);
    EXPECT_EQ(command->rule, 65533);
}

TEST(IpfwCommand, MalformedCommandsAreRejected) {
    const std::vector<std::vector<std::string>> bad{
        {},
        {"list", "extra"},
        {"flush"},
        {"delete"},
        {"delete", "65535"},
        {"delete", "0"},
        {"delete", "12x"},
        {"delete", "-5"},
        // Shortened rule (no address or interface found).
        {"add", "65534", "divert", "6715", "tcp", "from"},
        {"add", "65534", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "out",
         "via"},
        {"add", "65535", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "out",
         "via", "eth0"},
        {"add", "100", "divert", "0", "tcp", "from", "192.0.2.1", "80", "to", "any", "out", "via",
         "eth0"},
        {"add", "100", "divert", "6715", "udp", "from", "192.0.2.1", "80", "to", "any", "out",
         "via", "eth0"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2", "80", "to", "any", "out", "via",
         "eth0"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2.1", "65536", "to", "any", "out",
         "via", "eth0"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "in", "via",
         "eth0"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "out",
         "via", "a b"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2.1", "80", "to", "any", "out",
         "via", "an-interface-name-too-long"},
        {"add", "100", "divert", "6715", "tcp", "from", "192.0.2.1", "to", "any", "x80", "via",
         "eth0"},
    };
    for (const auto& words : bad) {
        std::string joined;
        for (const auto& word : words) {
            joined += word + " ";
        }
        EXPECT_FALSE(parse(words).has_value()) << joined;
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
    // namespace too.
    auto server = [](const std::string& address, const std::string& interfaceName,
                     const std::string& queue = "6715") {
        return std::vector<std::string>{"add",  "65534", "divert",     queue, "tcp",
                                        "from", address, "80",         "to",  "any",
                                        "out",  "via",   interfaceName};
    };
    const struct {
        std::vector<std::string> words;
        int status;
        std::string message;
    } cases[] = {
        {{"flush"}, kUsage, "unknown or malformed command 'flush'"},
        {{"delete", "65535"}, kUsage, "bad rule number '65535'"},
        {{"add", "1", "divert", "6715", "tcp", "from", "1.2.3.4"}, kUsage, "expected 'add N"},
        {{}, kUsage, "missing command"},
        {server("198.51.100.77", "lo"), kRefused,
         "refused: 198.51.100.77 is not an IPv4 address of this machine"},
        {server("127.0.0.1", "+"), kRefused, "refused: '+' is not a plain interface name"},
        {server("127.0.0.1", "qbxnosuch0"), kRefused, "refused: there is no interface"},
        {server("127.0.0.1", "lo", "6716"), kRefused, "refused: divert port 6716 is not"},
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

}  // namespace
}  // namespace quellbox
