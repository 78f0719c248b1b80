// The engine's threads and the window's use the tables, records, log reader and default
// priorities at once: under ThreadSanitizer these catch unguarded fields and lock-order faults.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "TestSettings.h"
#include "engine/Packet.h"
#include "engine/PriorityModeTraffic.h"
#include "platform/SystemLog.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/LogParser.h"
#include "prioritymode/defaultPriorityParser.h"
#include "settings/PreferenceKeys.h"

namespace quellbox {
namespace {

constexpr int clients = 40;
constexpr int packets = 20000;

std::uint32_t clientAddress(int i) { return (10U << 24) | static_cast<std::uint32_t>(i); }

void expectConsistent(const GenericIPTable& table) {
    const auto list = table.ipArray();
    const auto dict = table.ipTableDict();
    const std::set<std::uint32_t> listed(list.begin(), list.end());
    EXPECT_EQ(listed.size(), list.size()) << "an address is listed twice";
    std::set<std::uint32_t> keys;
    for (const auto& [ip, info] : dict) {
        keys.insert(ip);
        EXPECT_NE(info, nullptr);
    }
    EXPECT_EQ(listed, keys);
}

class PriorityModeConcurrency : public ::testing::Test {
protected:
    PriorityModeConcurrency() {
        std::ofstream(settings_.logPath(), std::ios::binary) << "";
        std::ofstream(settings_.priorityFile()) << "login1=9\n";
        settings_.prefs.setObject(PlistValue(settings_.logPath().string()), keys::logPath);
        settings_.prefs.setBool(true, keys::useServerLogFile);
    }

    testing::TestSettings settings_;
};

TEST_F(PriorityModeConcurrency, EngineThreadsAndTheDrawerShareTheTables) {
    SystemLogCapture quiet;  // the drawer's out-of-step rows are logged
    IPMode mode(settings_.prefs);
    mode.activate(true);
    std::atomic<bool> done{false};

    PriorityModeTraffic traffic(
        mode, [](int) { return std::optional<std::string>("Server"); }, [] {});
    // Packets dated in the past make records stale at once, so that the housekeeping moves
    // them between the tables and forgets them while the other threads use them.
    auto dated = [](int n) {
        return std::chrono::system_clock::now() - std::chrono::seconds(n % 3 == 0 ? 200 : 0);
    };
    std::thread reading([&] {
        for (int n = 0; n < packets; ++n) {
            if (mode.isActivated()) {
                Packet packet;
                const int runningMax = traffic.assign(packet, clientAddress(n % clients), 6700,
                                                      50000, false, dated(n));
                EXPECT_GE(runningMax, 0);
                EXPECT_LE(runningMax, 10);
            }
        }
    });
    std::thread pacing([&] {
        for (int n = 0; n < packets; ++n) {
            if (mode.isActivated()) {
                traffic.count(clientAddress((n * 7) % clients), 1500, dated(n));
            }
        }
    });
    std::thread flushing([&] {
        while (!done.load()) {
            if (mode.isActivated()) {
                (void)traffic.housekeeping();
            }
            std::this_thread::yield();
        }
    });
    std::thread logWriter([&] {
        std::ofstream log(settings_.logPath(), std::ios::binary | std::ios::app);
        for (int i = 0; i < clients; i += 2) {
            // Written in two parts, so that readers also meet a line still being written.
            log << "d\t" << GenericIPTable::convertLongToString(clientAddress(i)) << "\tlog";
            log.flush();
            std::this_thread::yield();
            log << "in" << i % 3 << "\tNick " << i << "\tfile\r";
            log.flush();
        }
    });
    std::thread drawer([&] {
        int round = 0;
        while (!done.load()) {
            IPTable& table = *mode.ipTable();
            const int rows = table.numberOfRowsInTableView();
            for (int row = 0; row <= rows; ++row) {  // one row too many, as a view out of step
                for (const char* column :
                     {"ipAdress", "priority", "avRate", "instantRate", "screenName", "login"}) {
                    (void)table.objectValueForTableColumn(column, row);
                }
            }
            const auto list = table.ipArray();
            if (!list.empty()) {
                if (auto info = table.userInfoForIPLong(list.front())) {
                    info->setPriority((info->priority() + 1) % 11);
                    table.refreshAndReorder();
                }
            }
            if (++round % 50 == 0) {
                mode.activate(false);
                mode.activate(true);
            }
            std::this_thread::yield();
        }
    });
    std::thread preferences([&] {
        defaultPriorityParser& defaults = *mode.defaultPriorityParser();
        for (int i = 0; i < 30; ++i) {
            defaults.addEntry(i % 11, "login2");
            (void)defaults.objectValueForTableColumn("priority", 0);
            defaults.removeEntry(i % 11, "login2");
            if (i % 10 == 0) {
                defaults.parseQbxPrioFile();
            }
        }
    });

    reading.join();
    pacing.join();
    logWriter.join();
    preferences.join();
    done.store(true);
    flushing.join();
    drawer.join();

    expectConsistent(*mode.ipTable());
    expectConsistent(*mode.ipTableForTheInactive());
    expectConsistent(*mode.waitingForInfoTable());
    EXPECT_GE(mode.ipTable()->runningMaxPriority(), 0);
    EXPECT_EQ(mode.defaultPriorityParser()->defaultPriorityForLogin("login1"), 9);
    EXPECT_FALSE(mode.defaultPriorityParser()->containsEntryWithLogin("login2"));
    // The reader caught up with everything written meanwhile.
    std::ofstream(settings_.logPath(), std::ios::binary | std::ios::app)
        << "d\t10.9.9.9\tlast\tLast\tfile\r";
    EXPECT_TRUE(mode.logParser()->ipIsInLogParserStructure("10.9.9.9"));
    EXPECT_EQ(settings_.prefs.integerForKey(keys::logCursor),
              static_cast<std::int64_t>(std::filesystem::file_size(settings_.logPath())));
}

TEST_F(PriorityModeConcurrency, CountingAndRateWindowsLoseNoBytes) {
    // The drawer restarts the long window while the pacing thread counts packets: every byte
    // ends up either in a window the drawer read or in the current one.
    auto info = std::make_shared<UserInfo>(
        "Server", 5, "nick", "bob", std::chrono::system_clock::now() - std::chrono::hours(1));
    constexpr int counted = 200000;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::int64_t seen = 0;
    std::thread drawer([&] {
        started.store(true);
        while (!done.load()) {
            seen += info->takeAverageRateWindow(0.0).bytes;  // restarts on every read
        }
    });
    while (!started.load()) {
        std::this_thread::yield();
    }
    for (int n = 0; n < counted; ++n) {
        info->setLastPacketSize(3);
    }
    done.store(true);
    drawer.join();
    seen += info->takeAverageRateWindow(0.0).bytes;
    EXPECT_EQ(seen, 3LL * counted);
}

}  // namespace
}  // namespace quellbox
