#include <gtest/gtest.h>

#include <string>
#include <vector>

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
        EXPECT_NE(refusal.find(reason), std::string::npos) << command << "-> '" << refusal << "'";
        EXPECT_EQ(refusal.find('\n'), std::string::npos) << refusal;
    }
}

TEST(RuleGuard, ASimulatedMachineTakesOnlyItsOwnRules) {
    const auto guard = RuleGuard::simulated({"192.0.2.1"}, {"sim0"});
    EXPECT_EQ(guard.refusal(serverRule("192.0.2.1", "sim0")), "");
    EXPECT_EQ(guard.refusal({"add", "1", "divert", "6715", "tcp", "from", "192.0.2.1", "to", "any",
                             "65535", "via", "sim0"}),
              "");
    EXPECT_EQ(guard.refusal({"list"}), "");
    EXPECT_EQ(guard.refusal({"delete", "65534"}), "");
    expectRefusals(
        guard, {
                   {serverRule("192.0.2.2", "sim0"), "192.0.2.2 is not an IPv4 address of"},
                   {serverRule("192.0.2.1", "eth0"), "there is no interface 'eth0'"},
                   {serverRule("192.0.2.1", "+"), "'+' is not a plain interface name"},
                   {serverRule("192.0.2.1", "sim+"), "'sim+' is not a plain interface name"},
                   {serverRule("192.0.2.1", "sim*"), "'sim*' is not a plain interface name"},
                   {serverRule("192.0.2.1", "s m"), "bad interface name"},
                   {serverRule("192.0.2.1", "sim0", "6716"), "divert port 6716 is not"},
                   {serverRule("192.0.2.1", "sim0", "8668"), "divert port 8668 is not"},
                   {serverRule("192.0.2.1", "sim0", "6715", "0"), "bad port '0'"},
                   {serverRule("192.0.2.1", "sim0", "6715", "70000"), "bad port '70000'"},
                   {serverRule("192.0.2.1", "sim0", "6715", "6700", "0"), "bad rule number"},
                   {serverRule("192.0.2.1", "sim0", "6715", "6700", "65535"), "bad rule number"},
                   {serverRule("any", "sim0"), "bad IPv4 address 'any'"},
                   {{"delete", "0"}, "bad rule number '0'"},
                   {{"delete", "65535"}, "bad rule number '65535'"},
                   {{"flush"}, "unknown or malformed command"},
               });
}

TEST(RuleGuard, ThisMachineIsAskedAtEveryCheck) {
    const RuleGuard guard;
    // Every Linux machine has its loopback interface and address.
    EXPECT_EQ(guard.refusal(serverRule("127.0.0.1", "lo")), "");
    expectRefusals(guard,
                   {
                       {serverRule("198.51.100.77", "lo"), "198.51.100.77 is not an IPv4 address"},
                       {serverRule("127.0.0.1", "qbxnosuch0"), "there is no interface"},
                       {serverRule("127.0.0.1", "lo+"), "not a plain interface name"},
                       {serverRule("127.0.0.1", "lo", "6714"), "divert port 6714 is not"},
                   });
}

}  // namespace
}  // namespace quellbox
