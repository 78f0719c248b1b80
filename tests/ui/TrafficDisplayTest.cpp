#include <QImage>
#include <QStandardItemModel>
#include <QStatusBar>
#include <utility>

#include "WindowFixture.h"
#include "ui/MainTrafficGraph.h"
#include "ui/RateGraph.h"
#include "ui/TrafficStatusBar.h"
#include "ui/alternatedRowColorTableView.h"
#include "ui_MainWindow.h"

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

TEST(MainWindowMenus, ShortcutsAreBound) {
    application();
    MainInterface interface;
    const Ui::QuellboxMainWindow& ui = interface.main();
    EXPECT_EQ(ui.actionQuit->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_EQ(ui.actionPreferences->shortcut(), QKeySequence("Ctrl+,"));
    EXPECT_EQ(ui.actionHelp->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(ui.actionPriorityMode->shortcut(), QKeySequence("Ctrl+P"));
    // The menu items act through the window's own controls.
    int clicks = 0;
    QObject::connect(ui.priorityModeButton, &QPushButton::clicked, [&clicks] { ++clicks; });
    ui.actionPriorityMode->trigger();
    EXPECT_EQ(clicks, 1);
}

TEST(StripedTable, StripesFollowADarkPalette) {
    application();
    alternatedRowColorTableView table;
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    table.setPalette(dark);
    QStandardItemModel model(2, 1);
    table.setModel(&model);
    table.resize(200, 200);
    table.verticalHeader()->setDefaultSectionSize(20);
    table.show();
    const QColor stripe = table.viewport()->grab().toImage().pixelColor(150, 30);
    EXPECT_EQ(stripe.rgb(), alternatedRowColorTableView::stripeColorFor(dark).rgb());
    EXPECT_LT(stripe.lightnessF(), 0.5F);
    EXPECT_EQ(alternatedRowColorTableView::stripeColorFor(QPalette(Qt::white)).toRgb(),
              QColor(237, 243, 254));
}

}  // namespace
}  // namespace quellbox::testing
