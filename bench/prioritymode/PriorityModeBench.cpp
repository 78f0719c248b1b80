// The per-packet work Priority Mode adds to the engine's threads, and the cost of catching
// up with the server's log.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/LogParser.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox {
namespace {

// An active table of `clients` records, as during a busy evening of the server.
void fill(IPTable& table, int clients) {
    for (int i = 0; i < clients; ++i) {
        table.linkThisUserInfo(std::make_shared<UserInfo>(),
                               (10U << 24) | static_cast<std::uint32_t>(i));
    }
}

// Reading thread, case 1: the record is in the active table; the packet takes its priority
// and screen name, then the running maximum.
void BM_ClassifyKnownClient(benchmark::State& state) {
    IPTable table;
    const int clients = static_cast<int>(state.range(0));
    fill(table, clients);
    std::uint32_t n = 0;
    for (auto _ : state) {
        const auto info =
            table.userInfoForIPLong((10U << 24) | (n++ % static_cast<std::uint32_t>(clients)));
        benchmark::DoNotOptimize(info->priority());
        benchmark::DoNotOptimize(info->screenName());
        benchmark::DoNotOptimize(table.runningMaxPriority());
    }
}
BENCHMARK(BM_ClassifyKnownClient)->Arg(10)->Arg(200);

// Data pacing thread: date and byte counting of the client a packet goes to.
void BM_CountPacket(benchmark::State& state) {
    IPTable table;
    fill(table, 200);
    std::uint32_t n = 0;
    for (auto _ : state) {
        if (const auto info = table.userInfoForIPLong((10U << 24) | (n++ % 200U))) {
            info->setLastPacketDate(std::chrono::system_clock::now());
            info->setLastPacketSize(1448);
        }
    }
}
BENCHMARK(BM_CountPacket);

// The drawer redrawing one row of rates (under the table's lock, which the engine waits for).
void BM_DrawerRow(benchmark::State& state) {
    IPTable table;
    fill(table, 200);
    int row = 0;
    for (auto _ : state) {
        for (const char* column : {"ipAdress", "priority", "avRate", "instantRate", "screenName"}) {
            benchmark::DoNotOptimize(table.objectValueForTableColumn(column, row));
        }
        row = (row + 1) % 200;
    }
}
BENCHMARK(BM_DrawerRow);

// Reading a log of about 16 MB from its start, with the given piece size.
void BM_ReadLog(benchmark::State& state) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("quellbox-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto logPath = dir / "Downloads";
    {
        std::ofstream log(logPath, std::ios::binary);
        for (int i = 0; log.tellp() < 16'000'000; ++i) {
            log << "2004/05/12 14:03\t10.1." << (i / 256) % 256 << "." << i % 256 << "\tlogin" << i
                << "\tNick " << i << "\tsome/folder/file" << i << ".sit\r";
        }
    }
    auto store = std::make_shared<UserDefaults>(dir / "Quellbox.plist");
    RegisteredDefaults::registerWith(*store);
    Preferences prefs(store);
    prefs.setObject(PlistValue(logPath.string()), keys::logPath);
    prefs.setBool(true, keys::useServerLogFile);
    SystemLogCapture quiet;
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(logPath));
    for (auto _ : state) {
        LogParser parser(prefs, static_cast<std::size_t>(state.range(0)));
        benchmark::DoNotOptimize(parser.recordCount());
    }
    state.SetBytesProcessed(state.iterations() * size);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReadLog)->Arg(64 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quellbox
