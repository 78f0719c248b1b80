#include "ui/FloatSlider.h"

#include <algorithm>
#include <cmath>

namespace quellbox {

FloatSlider::FloatSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    settingByProgram_ = true;
    setRange(0, kSteps);
    settingByProgram_ = false;
}

double FloatSlider::clampToRange(double value) const {
    if (!std::isfinite(value)) {
        return minimum_;
    }
    // A range given upside down still has a value between its ends.
    return std::clamp(value, std::min(minimum_, maximum_), std::max(minimum_, maximum_));
}

void FloatSlider::setFloatValue(double value) {
    value_ = clampToRange(value);
    showValue();
}

void FloatSlider::setFloatMaximum(double maximum) {
    maximum_ = maximum;
    value_ = clampToRange(value_);
    showValue();
}

void FloatSlider::setFloatMinimum(double minimum) {
    minimum_ = minimum;
    value_ = clampToRange(value_);
    showValue();
}

void FloatSlider::setNumberOfTickMarks(int count) {
    setTickPosition(count > 0 ? QSlider::TicksBelow : QSlider::NoTicks);
    setTickInterval(count > 1 ? kSteps / (count - 1) : kSteps);
}

void FloatSlider::showValue() {
    const double span = maximum_ - minimum_;
    const int position =
        span > 0.0 ? static_cast<int>(std::lround((value_ - minimum_) / span * kSteps)) : 0;
    settingByProgram_ = true;
    setValue(std::clamp(position, 0, kSteps));
    settingByProgram_ = false;
}

void FloatSlider::sliderChange(SliderChange change) {
    QSlider::sliderChange(change);
    if (change != SliderValueChange || settingByProgram_) {
        return;
    }
    value_ = minimum_ + (maximum_ - minimum_) * static_cast<double>(value()) / kSteps;
    emit floatValueChanged(value_);
}

}  // namespace quellbox
