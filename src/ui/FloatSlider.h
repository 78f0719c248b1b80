#pragma once

#include <QSlider>

namespace quellbox {

// A slider over a range of real numbers (rates in KB/s, pauses in microseconds). It keeps
// the exact value it was given; the handle's integer position is only its picture. User moves
// give values along kSteps equal steps of the range and emit floatValueChanged; values set
// by the program emit nothing.
class FloatSlider : public QSlider {
    Q_OBJECT

public:
    static constexpr int kSteps = 2400;

    explicit FloatSlider(QWidget* parent = nullptr);

    double floatValue() const { return value_; }
    double floatMinimum() const { return minimum_; }
    double floatMaximum() const { return maximum_; }
    // The value is kept inside the range, as a slider keeps it.
    void setFloatValue(double value);
    void setFloatMaximum(double maximum);
    void setFloatMinimum(double minimum);
    // Tick marks evenly across the range (at least two: one at each end).
    void setNumberOfTickMarks(int count);

signals:
    void floatValueChanged(double value);

protected:
    void sliderChange(SliderChange change) override;

private:
    void showValue();
    double clampToRange(double value) const;

    double minimum_ = 0.0;
    double maximum_ = 1.0;
    double value_ = 0.0;
    bool settingByProgram_ = false;
};

}  // namespace quellbox
