#pragma once

#include <QObject>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace quellbox {

class EngineControls;
class FloatSlider;
class MainInterface;
class Preferences;
class Presenter;

// The download pop-up's second mode, "Rate (KB/s)": a download cap in KiB/s that the engine
// holds by setting the acknowledgement pause itself. While the download is capped the pop-up
// chooses between the pause (the slider, as before) and the rate typed in the download field;
// the slider's pause waits in the engine while the rate mode is on and comes back with the
// pause mode. The mode and the rate are stored on every change and read at start.
class DownloadRateMode : public QObject {
    Q_OBJECT

public:
    static constexpr int kPauseItem = 0;
    static constexpr int kRateItem = 1;

    struct Collaborators {
        MainInterface& interface;
        std::function<EngineControls&()> engine;
        Preferences& preferences;
        Presenter& presenter;
    };

    // Made after the window's controller and the range controller: its handlers of the
    // download switch and slider run after theirs.
    explicit DownloadRateMode(Collaborators collaborators);

    void awakeFromNib();

    bool rateModeChosen() const { return rateMode_; }
    float rate() const { return rate_; }

private:
    void modeChosen();
    void rateTyped();
    // The download switch or the mode changed: the controls and the engine follow.
    void apply();
    void showRate();

    std::function<EngineControls&()> engineMaker_;
    Preferences& preferences_;
    Presenter& presenter_;
    QCheckBox* capDLSwitch_;
    QComboBox* DLRangePopUp_;
    QLineEdit* downloadRateTF_;
    FloatSlider* sliderDL_;

    EngineControls* engine_ = nullptr;
    bool rateMode_ = false;
    float rate_ = 0.0F;
};

}  // namespace quellbox
