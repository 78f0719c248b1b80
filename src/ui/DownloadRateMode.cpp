#include "ui/DownloadRateMode.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <cmath>

#include "engine/EngineControls.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui/FloatSlider.h"
#include "ui/MainInterface.h"
#include "ui/Presenter.h"
#include "ui_MainWindow.h"

namespace quellbox {

namespace {

bool isRate(float value) { return std::isfinite(value) && value > 0.0F; }

}  // namespace

DownloadRateMode::DownloadRateMode(Collaborators collaborators)
    : engineMaker_(std::move(collaborators.engine)),
      preferences_(collaborators.preferences),
      presenter_(collaborators.presenter) {
    Ui::QuellboxMainWindow& main = collaborators.interface.main();
    capDLSwitch_ = main.capDLSwitch;
    DLRangePopUp_ = main.DLRangePopUp;
    downloadRateTF_ = main.downloadRateTF;
    sliderDL_ = main.sliderDL;

    connect(capDLSwitch_, &QCheckBox::clicked, this, [this] { apply(); });
    connect(DLRangePopUp_, &QComboBox::activated, this, [this] { modeChosen(); });
    connect(downloadRateTF_, &QLineEdit::editingFinished, this, [this] { rateTyped(); });
    // The pause slider writes 0 into the download field; in the rate mode it shows the rate.
    connect(sliderDL_, &FloatSlider::floatValueChanged, this, [this] {
        if (rateMode_) {
            showRate();
        }
    });
}

void DownloadRateMode::awakeFromNib() {
    engine_ = &engineMaker_();
    rateMode_ = preferences_.boolForKey(keys::downloadRateMode);
    rate_ = preferences_.floatForKey(keys::downloadRate);
    if (!isRate(rate_)) {
        // Nothing to hold until the user types a rate.
        SystemLog::logf("the stored download rate %g is not a rate; the rate mode starts off",
                        static_cast<double>(rate_));
        rateMode_ = false;
    }
    DLRangePopUp_->setCurrentIndex(rateMode_ ? kRateItem : kPauseItem);
    if (rateMode_) {
        showRate();
    }
    apply();
}

void DownloadRateMode::modeChosen() {
    const bool rateMode = DLRangePopUp_->currentIndex() == kRateItem;
    if (rateMode == rateMode_) {
        return;
    }
    rateMode_ = rateMode;
    preferences_.setBool(rateMode_, keys::downloadRateMode);
    if (rateMode_) {
        showRate();
    } else {
        downloadRateTF_->setText("0");
    }
    apply();
}

void DownloadRateMode::rateTyped() {
    if (!rateMode_) {
        return;
    }
    bool parsed = false;
    const float typed = downloadRateTF_->text().trimmed().toFloat(&parsed);
    if (!parsed || !isRate(typed)) {
        SystemLog::log("A download rate is a number of KB/s above 0");
        presenter_.beep();
        showRate();
        return;
    }
    rate_ = typed;
    preferences_.setFloat(rate_, keys::downloadRate);
    showRate();
    apply();
}

void DownloadRateMode::apply() {
    // Whether the slider is enabled tells whether the download is capped (the switch's own
    // handler has run).
    const bool capped = sliderDL_->isEnabled();
    DLRangePopUp_->setEnabled(capped);
    downloadRateTF_->setEnabled(capped && rateMode_);
    if (engine_->setDownloadRate(capped && rateMode_ && isRate(rate_), rate_) < 0) {
        SystemLog::log("the engine did not take the download rate");
    }
}

void DownloadRateMode::showRate() {
    downloadRateTF_->setText(isRate(rate_) ? QString::number(static_cast<double>(rate_), 'g', 6)
                                           : QString());
}

}  // namespace quellbox
