#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(IptablesFirewall, TheToolRejectsMalformedCommandsBeforeTouchingIptables) {
    // An iptables that must never run.
    ::setenv("QUELLBOX_IPTABLES", "/nonexistent/iptables", 1);
    const std::string tool = PacketBackend::toolPath("quellbox-ipfw");
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"flush"},
             {"delete", "65535"},
             {"add", "1", "divert", "6715", "tcp", "from", "1.2.3.4"},
             {}}) {
        std::vector<std::string> arguments{tool};
        arguments.insert(arguments.end(), words.begin(), words.end());
        ::testing::internal::CaptureStderr();
        const auto outcome = CommandRunner::run(arguments, 4096);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(outcome);
        EXPECT_TRUE(outcome->exited);
        EXPECT_EQ(outcome->exitStatus, 64) << errors;
        EXPECT_NE(errors.find("usage: quellbox-ipfw"), std::string::npos) << errors;
        EXPECT_EQ(errors.find("iptables"), std::string::npos) << errors;
    }
}

}  // namespace
}  // namespace quellbox
