#include "ui/NoWaveProgressIndicator.h"

#include <QStyleOptionProgressBar>
#include <QStylePainter>
#include <algorithm>
#include <cmath>

namespace quellbox {

NoWaveProgressIndicator::NoWaveProgressIndicator(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
}

void NoWaveProgressIndicator::setDoubleValue(double value) {
    if (!std::isfinite(value)) {
        value = minimum();
    }
    const double clamped =
        std::clamp(value, static_cast<double>(minimum()), static_cast<double>(maximum()));
    setValue(static_cast<int>(std::lround(clamped)));
}

void NoWaveProgressIndicator::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    // Styles animate a bar through its style object (and a bar without a range as "busy");
    // without either there is nothing to animate.
    option.styleObject = nullptr;
    if (option.maximum <= option.minimum) {
        option.maximum = option.minimum + 1;
        option.progress = option.minimum;
    }
    painter.drawControl(QStyle::CE_ProgressBar, option);
}

}  // namespace quellbox
