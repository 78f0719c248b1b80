#pragma once

#include <QProgressBar>

namespace quellbox {

// A determinate gauge that shows only its current value: no busy pattern, no glow or
// pulse that some styles run over progress bars. The three traffic gauges are of this class.
class NoWaveProgressIndicator : public QProgressBar {
    Q_OBJECT

public:
    explicit NoWaveProgressIndicator(QWidget* parent = nullptr);

    // The value as the engine sends it (bytes or packets), rounded to the bar's steps.
    void setDoubleValue(double value);

public slots:
    // Animation requests are ignored: the gauge never moves on its own.
    void startAnimation() {}
    void stopAnimation() {}
    void animate() {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace quellbox
