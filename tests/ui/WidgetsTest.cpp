#include <QImage>
#include <QStandardItemModel>

#include "WindowFixture.h"
#include "ui/NoWaveProgressIndicator.h"
#include "ui/alternatedRowColorTableView.h"

namespace quellbox::testing {
namespace {

int firstStripeRow(double top, double rowHeight) {
    const auto stripes =
        alternatedRowColorTableView::stripesInRect(QRectF(0, top, 100, 100), rowHeight);
    return stripes.empty() ? -1 : static_cast<int>(stripes.front().y() / rowHeight);
}

TEST(StripedTable, OnlyOddRowsAreStripedFromTheFirstOneInTheArea) {
    EXPECT_EQ(firstStripeRow(0.0, 20.0), 1);
    EXPECT_EQ(firstStripeRow(65.0, 20.0), 3);  // inside row 3
    EXPECT_EQ(firstStripeRow(85.0, 20.0), 5);  // inside row 4
    const auto stripes = alternatedRowColorTableView::stripesInRect(QRectF(3, 0, 50, 100), 20.0);
    ASSERT_EQ(stripes.size(), 2U);  // rows 1 and 3; row 5 starts at the area's bottom
    EXPECT_EQ(stripes[1], QRectF(3, 60, 50, 20));
    EXPECT_TRUE(alternatedRowColorTableView::stripesInRect(QRectF(0, 0, 10, 10), 0.0).empty());
    EXPECT_EQ(&alternatedRowColorTableView::stripeColor(),
              &alternatedRowColorTableView::stripeColor());
    EXPECT_EQ(alternatedRowColorTableView::stripeColor().toRgb(), QColor(237, 243, 254));
}

TEST(StripedTable, StripesContinueBelowTheLastRow) {
    application();
    alternatedRowColorTableView table;
    QStandardItemModel model(2, 1);
    table.setModel(&model);
    table.resize(200, 400);
    table.verticalHeader()->setDefaultSectionSize(20);
    table.show();
    const QImage image = table.viewport()->grab().toImage();
    const QColor stripe = alternatedRowColorTableView::stripeColor();
    auto rowColour = [&](int row) { return image.pixelColor(150, row * 20 + 10); };
    EXPECT_NE(rowColour(0), stripe);
    EXPECT_EQ(rowColour(1), stripe);
    EXPECT_NE(rowColour(2), stripe);
    EXPECT_EQ(rowColour(3), stripe);  // below the last row
    EXPECT_EQ(rowColour(7), stripe);
}

TEST(StillGauge, AnimationChangesNothingAndTheValueMovesTheBar) {
    application();
    NoWaveProgressIndicator gauge;
    gauge.setRange(0, 200);
    gauge.resize(200, 20);
    gauge.setDoubleValue(50.0);
    const QImage before = gauge.grab().toImage();
    gauge.startAnimation();
    gauge.animate();
    EXPECT_EQ(gauge.grab().toImage(), before);
    gauge.stopAnimation();
    gauge.setDoubleValue(150.4);
    EXPECT_EQ(gauge.value(), 150);
    EXPECT_NE(gauge.grab().toImage(), before);
    gauge.setDoubleValue(1e9);
    EXPECT_EQ(gauge.value(), 200);
    // A bar without a range draws empty, not as a busy pattern.
    gauge.setRange(0, 0);
    const QImage idle = gauge.grab().toImage();
    EXPECT_EQ(gauge.grab().toImage(), idle);
}

}  // namespace
}  // namespace quellbox::testing
