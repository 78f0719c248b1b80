// The window's parts that need no controller: widgets, graphs and the GUI thread's run loop.
#include <QImage>
#include <QStandardItemModel>
#include <atomic>
#include <limits>
#include <thread>
#include <utility>

#include "WindowFixture.h"
#include "ui/MainTrafficGraph.h"
#include "ui/RateGraph.h"
#include "ui/TrafficStatusBar.h"
#include "ui/alternatedRowColorTableView.h"

namespace quellbox::testing {
namespace {

TEST(TrafficStatusBar, ShowsRatesOverTheLastSecondOfTheEngineTotals) {
    application();
    MainInterface interface;
    TrafficRates::Clock::time_point now{};
    TrafficStatusBar bar(interface.mainWindow(), "sim", [&now] { return now; });
    EXPECT_FALSE(bar.addTotals({1000, 0, 500}));
    now += std::chrono::milliseconds(400);
    EXPECT_FALSE(bar.addTotals({1000 + 16 * 1024, 0, 500}));  // less than a second: no rate yet
    now += std::chrono::milliseconds(600);
    // 42 KiB of DATA and PSH data together (both bound by the cap), 8 KiB of acks.
    const auto rates = bar.addTotals({1000 + 40 * 1024, 2 * 1024, 500 + 8 * 1024, 300 * 1024});
    ASSERT_TRUE(rates);
    EXPECT_EQ(bar.uploadText(), "Upload 42.0 KiB/s paced");
    EXPECT_EQ(bar.ackText(), "ACKs 8.0 KiB/s");
    EXPECT_EQ(bar.downloadText(), "Download 300.0 KiB/s");
    // Later ticks measure the last second only, not the time since the first tick.
    now += std::chrono::milliseconds(500);
    bar.addTotals({1000 + 60 * 1024, 2 * 1024, 500 + 8 * 1024, 300 * 1024});
    now += std::chrono::milliseconds(500);
    bar.addTotals({1000 + 60 * 1024, 2 * 1024, 500 + 8 * 1024, 300 * 1024});
    EXPECT_EQ(bar.uploadText(), "Upload 20.0 KiB/s paced");
    EXPECT_EQ(bar.ackText(), "ACKs 0.0 KiB/s");
}

TEST(MainTrafficGraph, KeepsTenMinutesAndDrawsTheCap) {
    application();
    RateGraph graph;
    float cap = 42.0F;
    MainTrafficGraph traffic(graph, [&cap] { return cap; });
    for (std::size_t i = 0; i < TrafficHistory::kSamples + 10; ++i) {
        traffic.add({static_cast<double>(i), 1.0, 2.0 * static_cast<double>(i)});
    }
    const RateGraph::Plot plot = graph.currentPlot();
    ASSERT_EQ(plot.lines.size(), 3U);
    // Paced upload, download, acknowledgements; the oldest went first.
    for (const auto& [line, oldest] :
         std::initializer_list<std::pair<std::size_t, float>>{{0, 10.0F}, {1, 20.0F}, {2, 1.0F}}) {
        ASSERT_EQ(plot.lines[line].samples.size(), TrafficHistory::kSamples) << line;
        EXPECT_EQ(plot.lines[line].samples.front(), oldest) << line;
    }
    EXPECT_EQ(plot.lines[1].samples.back(), 2.0F * (TrafficHistory::kSamples + 9));
    EXPECT_EQ(plot.cap, 42.0F);
    cap = -1.0F;  // the upload not capped: no cap line
    traffic.add({});
    EXPECT_FALSE(graph.currentPlot().cap);
    graph.resize(300, 120);
    graph.grab();  // paints in MiB/s without trouble
}

TEST(RateGraphHistory, KeepsBoundedHistoriesOfListedClientsOnly) {
    application();
    RateGraph graph;
    for (std::size_t i = 0; i < RateGraph::kMaxSamples + 50; ++i) {
        graph.addSamples({{1U, static_cast<float>(i)}, {2U, 1.0F}});
    }
    graph.showClient(1U);
    const auto samples = graph.shownSamples();
    ASSERT_EQ(samples.size(), RateGraph::kMaxSamples);
    EXPECT_EQ(samples.front(), 50.0F);  // the oldest ones went first
    EXPECT_EQ(samples.back(), static_cast<float>(RateGraph::kMaxSamples + 49));
    // A client no longer listed is forgotten; a rate that is no number is drawn as 0.
    graph.addSamples({{2U, std::numeric_limits<float>::quiet_NaN()}});
    EXPECT_EQ(graph.clientsKept(), 1U);
    EXPECT_TRUE(graph.shownSamples().empty());
    graph.showClient(2U);
    EXPECT_EQ(graph.shownSamples().back(), 0.0F);
    graph.resize(300, 80);
    graph.grab();  // paints without trouble
}

TEST(StripedTable, StripesContinueBelowTheLastRowAndFollowADarkPalette) {
    application();
    for (const bool dark : {false, true}) {
        alternatedRowColorTableView table;
        QPalette palette;
        if (dark) {
            palette.setColor(QPalette::Base, QColor(30, 30, 30));
            palette.setColor(QPalette::Highlight, QColor(42, 130, 218));
            table.setPalette(palette);
        }
        QStandardItemModel model(2, 1);
        table.setModel(&model);
        table.resize(200, 400);
        table.verticalHeader()->setDefaultSectionSize(20);
        table.show();
        const QImage image = table.viewport()->grab().toImage();
        const QColor stripe = dark ? alternatedRowColorTableView::stripeColorFor(palette)
                                   : alternatedRowColorTableView::stripeColor();
        auto rowColour = [&](int row) { return image.pixelColor(150, row * 20 + 10).rgb(); };
        EXPECT_NE(rowColour(0), stripe.rgb()) << dark;
        EXPECT_EQ(rowColour(1), stripe.rgb()) << dark;
        EXPECT_NE(rowColour(2), stripe.rgb()) << dark;
        EXPECT_EQ(rowColour(3), stripe.rgb()) << "below the last row, " << dark;
        EXPECT_EQ(rowColour(7), stripe.rgb()) << dark;
        EXPECT_EQ(QColor(rowColour(1)).lightnessF() < 0.5F, dark);
    }
}

TEST(QtRunLoop, TimersAndWorkFromOtherThreadsRunOnTheGuiThreadWaitedForAndUntilInvalidated) {
    application();
    QtRunLoop loop;
    std::atomic<int> ticks{0};
    std::atomic<bool> allOnGuiThread{true};
    RunLoop::TimerId timer = 0;
    std::thread([&] {
        EXPECT_FALSE(loop.isMainThread());
        timer = loop.scheduleRepeatingTimer(std::chrono::milliseconds(5), [&] {
            allOnGuiThread = allOnGuiThread && loop.isMainThread();
            ++ticks;
        });
    }).join();
    ASSERT_TRUE(processEventsUntil([&] { return ticks >= 3; }));
    std::thread([&] { loop.invalidateTimer(timer); }).join();
    const int settled = ticks;
    QTest::qWait(50);  // room for ticks that must not come
    EXPECT_EQ(ticks.load(), settled);
    EXPECT_TRUE(allOnGuiThread.load());

    // Work from a worker waits for the GUI thread.
    std::atomic<bool> ran{false};
    std::atomic<bool> workerDone{false};
    bool ranOnGui = false;
    std::thread worker([&] {
        loop.performOnMainThread(
            [&] {
                ranOnGui = loop.isMainThread();
                ran = true;
            },
            true);
        EXPECT_TRUE(ran.load()) << "the waiting call returns only after the work ran";
        workerDone = true;
    });
    ASSERT_TRUE(processEventsUntil([&] { return workerDone.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnGui);
    bool inlineRan = false;
    loop.performOnMainThread([&] { inlineRan = true; }, true);
    EXPECT_TRUE(inlineRan) << "waiting work on the GUI thread itself runs at once";
}

}  // namespace
}  // namespace quellbox::testing
