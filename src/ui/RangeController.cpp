#include "ui/RangeController.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <cmath>
#include <cstdlib>

#include "engine/EngineControls.h"
#include "platform/LocalizedText.h"
#include "platform/SystemLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui/FloatSlider.h"
#include "ui/MainInterface.h"
#include "ui/Presenter.h"
#include "ui_CustomRangeDialog.h"
#include "ui_MainWindow.h"

namespace quellbox {

namespace {

// The number at the start of a typed text, as a number field reads it; 0 without one.
float floatValue(const QLineEdit& field) {
    const std::string text = field.text().toStdString();
    return std::strtof(text.c_str(), nullptr);
}

QString rateText(float rate) { return QString::number(static_cast<double>(rate), 'g', 6); }

QString wholePart(float value) {
    return QString::number(static_cast<long long>(std::trunc(value)));
}

}  // namespace

RangeController::Range RangeController::rangeForConnectionType(int item) {
    switch (item) {
        case 0:
            return {90.0F, 120.0F, 115.0F};
        case 1:
            return {60.0F, 90.0F, 86.0F};
        case 2:
            return {45.0F, 60.0F, 56.0F};
        case 3:
            return {30.0F, 45.0F, 42.0F};
        case 4:
            return {15.0F, 30.0F, 28.0F};
        case 5:
            return {7.0F, 15.0F, 13.5F};
        case 6:
            return {2.0F, 7.0F, 6.0F};
        default:
            return {7.0F, 15.0F, 13.5F};
    }
}

RangeController::RangeController(Collaborators collaborators)
    : engineMaker_(std::move(collaborators.engine)),
      preferences_(collaborators.preferences),
      presenter_(collaborators.presenter) {
    Ui::QuellboxMainWindow& main = collaborators.interface.main();
    Ui::QuellboxCustomRangeDialog& dialog = collaborators.interface.customRange();
    ULRangePopUp = main.ULRangePopUp;
    DLThroughputTF = main.downloadRateTF;
    ULThroughputTF = main.uploadRateTF;
    sliderUL = main.sliderUL;
    sliderDL = main.sliderDL;
    rangeDLmin = main.rangeDLmin;
    rangeDLmax = main.rangeDLmax;
    rangeULmin = main.rangeULmin;
    rangeULmax = main.rangeULmax;
    OKButton = dialog.OKButton;
    cancelButton = dialog.cancelButton;
    toBWForm = dialog.toBWForm;
    fromBWForm = dialog.fromBWForm;
    customRangeWIndow = &collaborators.interface.customRangeWindow();
    unitsMatrice = new QButtonGroup(customRangeWIndow);
    unitsMatrice->addButton(dialog.unitKilobytes, 0);
    unitsMatrice->addButton(dialog.unitKilobits, 1);

    connect(ULRangePopUp, &QComboBox::activated, this, [this] { ULRangePopUpHasChanged(); });
    connect(sliderUL, &FloatSlider::floatValueChanged, this, [this] { sliderULHasChanged(); });
    connect(ULThroughputTF, &QLineEdit::editingFinished, this, [this] { setULValue(); });
    connect(sliderDL, &FloatSlider::floatValueChanged, this, [this] { sliderDLHasChanged(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { OK(); });
    connect(cancelButton, &QPushButton::clicked, this, [this] { cancel(); });
}

void RangeController::awakeFromNib() {
    throughputLimiter = &engineMaker_();
    DATARate_ = preferences_.floatForKey(keys::DATARate);
    // The download pause always starts at 0, whatever was stored.
    ACKPause_ = 0.0F;
    showDATARate();
    throughputLimiter->setDATARate(DATARate_);
    throughputLimiter->setACKPause(ACKPause_);
    ULRangePopUp->setCurrentIndex(
        static_cast<int>(preferences_.integerForKey(keys::connectionType)));

    const float minimum = preferences_.floatForKey(keys::minDATARate);
    const float maximum = preferences_.floatForKey(keys::maxDATARate);
    sliderUL->setNumberOfTickMarks(25);
    sliderUL->setFloatMaximum(maximum);
    sliderUL->setFloatMinimum(minimum);
    sliderUL->setFloatValue(DATARate_);

    sliderDL->setFloatMaximum(preferences_.floatForKey(keys::maxACKPause));
    sliderDL->setFloatMinimum(preferences_.floatForKey(keys::minACKPause));
    sliderDL->setFloatValue(ACKPause_);

    rangeULmax->setText(wholePart(maximum));
    rangeULmin->setText(wholePart(minimum));
    rangeDLmax->setText(QString::fromStdString(LocalizedText::lookup("Max")));
    rangeDLmin->setText(QString::fromStdString(LocalizedText::lookup("Min")));
}

void RangeController::ULRangePopUpHasChanged() {
    for (;;) {
        const int item = ULRangePopUp->currentIndex();
        preferences_.setInteger(item, keys::connectionType);
        if (item != kCustomItem) {
            const Range range = rangeForConnectionType(item);
            preferences_.setFloat(range.minimum, keys::minDATARate);
            preferences_.setFloat(range.maximum, keys::maxDATARate);
            preferences_.setFloat(range.defaultRate, keys::defaultDATARate);
            break;
        }
        if (QWidget* parent = customRangeWIndow->parentWidget()) {
            customRangeWIndow->move(parent->geometry().center() -
                                    customRangeWIndow->rect().center());
        }
        const int code = presenter_.runModal(*customRangeWIndow);
        if (code == 1) {
            const float divisor = unitsMatrice->checkedId() > 0 ? 8.0F : 1.0F;
            const float lowest = floatValue(*fromBWForm) / divisor;
            const float highest = floatValue(*toBWForm) / divisor;
            // A range must have room and be a rate at all: a lowest rate of 0 or less would
            // turn the pacing off while the upload still shows as capped.
            if (std::isfinite(lowest) && std::isfinite(highest) && lowest > 0.0F &&
                lowest < highest) {
                preferences_.setFloat(lowest, keys::minDATARate);
                preferences_.setFloat(highest, keys::maxDATARate);
                preferences_.setFloat((lowest + highest) * 0.5F, keys::defaultDATARate);
                customRangeWIndow->close();
                break;
            }
            presenter_.beep();
            continue;
        }
        if (code == 0) {
            preferences_.setFloat(DATARate_, keys::defaultDATARate);
            customRangeWIndow->close();
        }
        break;
    }
    applyStoredRange();
}

void RangeController::applyStoredRange() {
    const float minimum = preferences_.floatForKey(keys::minDATARate);
    const float maximum = preferences_.floatForKey(keys::maxDATARate);
    DATARate_ = preferences_.floatForKey(keys::defaultDATARate);
    rangeULmin->setText(wholePart(minimum));
    rangeULmax->setText(wholePart(maximum));
    showDATARate();
    sliderUL->setFloatMaximum(maximum);
    sliderUL->setFloatMinimum(minimum);
    sliderUL->setFloatValue(DATARate_);
    passDATARate();
}

void RangeController::sliderULHasChanged() {
    DATARate_ = static_cast<float>(sliderUL->floatValue());
    showDATARate();
    passDATARate();
}

void RangeController::setULValue() {
    DATARate_ = floatValue(*ULThroughputTF);
    const auto minimum = static_cast<float>(sliderUL->floatMinimum());
    const auto maximum = static_cast<float>(sliderUL->floatMaximum());
    if (minimum <= DATARate_ && DATARate_ <= maximum) {
        sliderUL->setFloatValue(DATARate_);
    } else {
        DATARate_ = DATARate_ < minimum ? minimum : maximum;
        SystemLog::log("You should customize your connection type to access wider range");
        presenter_.beep();
        showDATARate();
        sliderUL->setFloatValue(DATARate_);
    }
    passDATARate();
}

void RangeController::sliderDLHasChanged() {
    ACKPause_ = static_cast<float>(sliderDL->floatValue());
    DLThroughputTF->setText("0");
    throughputLimiter->setACKPause(ACKPause_);
    preferences_.setFloat(ACKPause_, keys::ACKPause);
}

void RangeController::OK() { customRangeWIndow->done(1); }

void RangeController::cancel() { customRangeWIndow->done(0); }

void RangeController::showDATARate() { ULThroughputTF->setText(rateText(DATARate_)); }

void RangeController::passDATARate() {
    throughputLimiter->setDATARate(DATARate_);
    preferences_.setFloat(DATARate_, keys::DATARate);
}

}  // namespace quellbox
