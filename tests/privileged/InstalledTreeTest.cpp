// The installed tree (cmake --install, then the rights the package's postinst gives) against
// the attacks of a local user: who may run the engine, which files carry rights, and that no
// library the user chooses through the environment (a Qt plugin, an iptables extension) is
// ever loaded into a process with a root user id or with the shaping rights. Needs root.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "NetNamespaces.h"
#include "TempDir.h"
#include "TestUser.h"
#include "platform/AtomicFile.h"

namespace quellbox {
namespace {

using namespace privileged;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Installs the build tree into `prefix` (cmake --install) with the rights the Debian
// package's postinst gives: quellbox-engine and quellbox-ipfw in the group quellbox, mode
// 0750, and the engine's file capabilities. Answers why it cannot, or the empty text.
std::string installOrWhyNot(const fs::path& prefix) {
    for (const char* program : {"/usr/bin/cmake", "/usr/sbin/setcap"}) {
        if (::access(program, X_OK) != 0) {
            return std::string(program) + " is not installed";
        }
    }
    if (::chmod(prefix.c_str(), 0755) != 0) {
        return "cannot open the prefix to other users";
    }
    std::string output;
    if (!run({"/usr/bin/cmake", "--install", QUELLBOX_BUILD_TREE, "--prefix", prefix.string()},
             &output)) {
        return "cmake --install failed: " + output;
    }
    const std::string engine = (prefix / "bin" / "quellbox-engine").string();
    const std::string ipfw = (prefix / "libexec" / "quellbox" / "quellbox-ipfw").string();
    // As the package's postinst: the change of group first, since it takes capabilities away.
    const std::vector<std::vector<std::string>> steps{
        {"/usr/bin/chgrp", "quellbox", engine, ipfw},
        {"/usr/bin/chmod", "0750", engine, ipfw},
        {"/usr/sbin/setcap", "cap_net_admin,cap_net_raw+ep", engine},
    };
    for (const auto& step : steps) {
        if (!run(step)) {
            return step[0] + " failed on the installed tree";
        }
    }
    return "";
}

class InstalledTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUELLBOX_SKIP_IF(user_.createOrWhyNot());
        ASSERT_EQ(installOrWhyNot(prefix_.path()), "");
        ASSERT_TRUE(user_.own(home_.path()));
    }

    // A run of an installed program (its path first) as the test's user in the group quellbox.
    std::unique_ptr<testing::ProgramRun> runAsUser(std::vector<std::string> command,
                                                   std::vector<std::string> environment = {},
                                                   std::string ns = "") {
        return user_.start({std::move(command), std::move(ns), home_.path(), environment}, false);
    }

    std::string engine() const { return prefix_ / "bin" / "quellbox-engine"; }

    TestUser user_;
    testing::TempDir prefix_;
    testing::TempDir home_;
};

TEST_F(InstalledTreeTest, OnlyTheEngineCarriesRightsAndOnlyTheGroupRunsIt) {
    for (const auto& entry : fs::recursive_directory_iterator(prefix_.path())) {
        struct stat info {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID), 0U) << entry.path();
    }
    std::string capabilities;
    ASSERT_TRUE(run({"/usr/sbin/getcap", "-r", prefix_.path().string()}, &capabilities));
    EXPECT_EQ(capabilities, engine() + " cap_net_admin,cap_net_raw=ep\n");
    std::string libraries;
    ASSERT_TRUE(run({"/usr/bin/ldd", engine()}, &libraries));
    EXPECT_EQ(libraries.find("libQt"), std::string::npos) << libraries;

    // A user outside the group cannot even start it.
    const std::string enginePath = engine();
    const int refused = testing::runInChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0) {
            return 2;
        }
        ::execl(enginePath.c_str(), enginePath.c_str(), nullptr);
        return errno == EACCES ? 0 : 1;
    });
    EXPECT_EQ(refused, 0) << "2: cannot become nobody, 1: not refused with EACCES";
    // One in the group can.
    auto version = runAsUser({engine(), "--version"});
    EXPECT_EQ(version->wait(), 0) << version->output();
}

#ifdef QUELLBOX_EVIL_STYLE
TEST_F(InstalledTreeTest, AQtPluginOfTheUsersNeverRunsWithARootUserId) {
    testing::TempDir attack;
    ASSERT_TRUE(user_.own(attack.path()));
    fs::create_directories(attack / "styles");
    fs::copy_file(QUELLBOX_EVIL_STYLE, attack / "styles" / "libevilstyle.so");
    const fs::path mark = attack / "mark";

    auto window =
        runAsUser({prefix_ / "bin" / "quellbox", "--backend", "sim"},
                  {"QT_QPA_PLATFORM=offscreen", "QT_PLUGIN_PATH=" + attack.path().string(),
                   "QT_STYLE_OVERRIDE=evil", "EVIL_STYLE_MARK=" + mark.string()});
    // The plugin tells of its load: only then is the window known to have come up with it.
    ASSERT_TRUE(window->waitFor("evil style loaded")) << window->output();
    EXPECT_TRUE(window->signal(SIGTERM));
    window->wait();

    const std::string id = std::to_string(user_.uid());
    EXPECT_EQ(AtomicFile::read(mark).value_or(""),
              "ids " + id + " " + id + " " + id + " seteuid -1\n");
}
#endif

TEST_F(InstalledTreeTest, IptablesExtensionsOfTheUsersNeverLoad) {
    NamespacePair pair;
    QUELLBOX_SKIP_IF(pair.createOrWhyNot());
    QUELLBOX_SKIP_IF(nfqueueProblem(pair.sender()));
    testing::TempDir extensions;
    ASSERT_TRUE(user_.own(extensions.path()));
    const std::vector<std::string> names{"libxt_tcp.so", "libxt_comment.so", "libxt_NFQUEUE.so"};
    for (const auto& name : names) {
        fs::copy_file(QUELLBOX_EVIL_XTABLES, extensions / name);
    }
    const std::vector<std::string> environment{"XTABLES_LIBDIR=" + extensions.path().string()};
    writeSettings(home_.path());
    ASSERT_TRUE(user_.own(home_.path()));
    const std::string before = iptablesState(pair.sender());

    // A headless run adds rules with all three extensions.
    auto shaping = runAsUser({engine(), "--headless", "--backend", "nfqueue", "--duration", "2"},
                             environment, pair.sender());
    ASSERT_TRUE(shaping->waitFor("headless on the nfqueue backend")) << shaping->output();
    std::string rules;
    EXPECT_TRUE(ipfwIn(pair.sender(), "list", &rules));
    EXPECT_NE(rules.find(kServiceRule + pair.senderLink()), std::string::npos);
    EXPECT_EQ(shaping->wait(), 0) << shaping->output();

    // A rule a killed run left behind, listed (which loads the extensions) and removed.
    ASSERT_TRUE(ipfwIn(pair.sender(), "add 100 " + (kServiceRule + pair.senderLink())));
    auto cleanup =
        runAsUser({engine(), "--cleanup", "--backend", "nfqueue"}, environment, pair.sender());
    EXPECT_EQ(cleanup->wait(), 0) << cleanup->output();

    for (const auto& name : names) {
        EXPECT_FALSE(fs::exists(extensions / (name + ".mark"))) << name << " was loaded";
    }
    EXPECT_EQ(iptablesState(pair.sender()), before);
}

}  // namespace
}  // namespace quellbox
