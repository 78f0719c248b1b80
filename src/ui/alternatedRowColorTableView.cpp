#include "ui/alternatedRowColorTableView.h"

#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>

namespace quellbox {

alternatedRowColorTableView::alternatedRowColorTableView(QWidget* parent) : QTableView(parent) {
    // Our own stripes replace Qt's alternating colours, which stop at the last row.
    setAlternatingRowColors(false);
}

const QColor& alternatedRowColorTableView::stripeColor() {
    static const QColor sStripeColor =
        QColor::fromRgbF(0.929411768913269F, 0.9529411792755127F, 0.9960784316062927F, 1.0F);
    return sStripeColor;
}

QColor alternatedRowColorTableView::stripeColorFor(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Base);
    if (base.lightnessF() >= 0.5F) {
        return stripeColor();
    }
    const QColor tint = palette.color(QPalette::Highlight);
    constexpr float kTint = 0.15F;
    return QColor::fromRgbF(base.redF() + (tint.redF() - base.redF()) * kTint,
                            base.greenF() + (tint.greenF() - base.greenF()) * kTint,
                            base.blueF() + (tint.blueF() - base.blueF()) * kTint);
}

std::vector<QRectF> alternatedRowColorTableView::stripesInRect(const QRectF& clipRect,
                                                               double rowHeight) {
    std::vector<QRectF> stripes;
    if (rowHeight <= 0.0) {
        return stripes;
    }
    const double bottom = clipRect.y() + clipRect.height();
    auto row = static_cast<long>(clipRect.y() / rowHeight);
    if (row % 2 == 0) {
        ++row;
    }
    QRectF stripe(clipRect.x(), static_cast<double>(row) * rowHeight, clipRect.width(), rowHeight);
    while (stripe.y() < bottom) {
        stripes.push_back(stripe);
        stripe.translate(0.0, 2.0 * rowHeight);
    }
    return stripes;
}

void alternatedRowColorTableView::drawStripesInRect(const QRectF& clipRect) {
    // A row's section already includes its grid line, so the section size is the full height.
    const double rowHeight = verticalHeader()->defaultSectionSize();
    QPainter painter(viewport());
    const double offset = verticalOffset();
    const QColor colour = stripeColorFor(palette());
    for (const QRectF& stripe : stripesInRect(clipRect, rowHeight)) {
        painter.fillRect(stripe.translated(0.0, -offset), colour);
    }
}

void alternatedRowColorTableView::paintEvent(QPaintEvent* event) {
    drawStripesInRect(QRectF(event->rect()).translated(0.0, verticalOffset()));
    QTableView::paintEvent(event);
}

}  // namespace quellbox
