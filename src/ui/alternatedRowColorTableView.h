#pragma once

#include <QColor>
#include <QPalette>
#include <QRectF>
#include <QTableView>
#include <vector>

namespace quellbox {

// A table that paints every odd row (1, 3, 5 ...) with a pale blue stripe behind its cells,
// continuing below the last row to the bottom of the view, so that long lists stay readable.
// The stripes go under the cells and the selection, which cover them.
class alternatedRowColorTableView : public QTableView {
    Q_OBJECT

public:
    explicit alternatedRowColorTableView(QWidget* parent = nullptr);

    // The stripes that meet `clipRect` (in the table's coordinates: row k spans k·h to
    // (k + 1)·h), for rows of full height `rowHeight`: the width of the area, from the first
    // odd row at or below its top down to its bottom.
    static std::vector<QRectF> stripesInRect(const QRectF& clipRect, double rowHeight);
    // The one stripe colour of every table on a light palette, made at the first drawing.
    static const QColor& stripeColor();
    // The stripe colour on `palette`: the pale blue on a light base; on a dark base (a dark
    // desktop theme) the pale blue would glare and hide the light text, so the base is lifted
    // a little towards the highlight colour instead.
    static QColor stripeColorFor(const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Paints the stripes of `clipRect`, given in the table's coordinates.
    void drawStripesInRect(const QRectF& clipRect);
};

}  // namespace quellbox
