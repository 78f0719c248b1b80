#include "WindowFixture.h"

namespace quellbox::testing {
namespace {

class RateControls : public WindowFixture {
protected:
    // As a user does.
    static void type(QLineEdit* field, const char* text) {
        field->setText(text);
        emit field->editingFinished();
    }
    // Fills the custom range dialog and presses one of its buttons.
    int fill(const char* from, const char* to, bool kilobits, bool pressOK) {
        Ui::QuellboxCustomRangeDialog& form = interface().customRange();
        form.fromBWForm->setText(from);
        form.toBWForm->setText(to);
        (kilobits ? form.unitKilobits : form.unitKilobytes)->setChecked(true);
        QTest::mouseClick(pressOK ? form.OKButton : form.cancelButton, Qt::LeftButton);
        return interface().customRangeWindow().result();
    }
};

TEST_F(RateControls, StartUpShowsTheStoredRangeConnectionTypesSetTheirOwnTypedRatesStayInIt) {
    preferences().setFloat(500.0F, keys::ACKPause);  // the pause starts at 0 all the same
    start();
    EXPECT_EQ(ui().ULRangePopUp->currentIndex(), 3);
    EXPECT_EQ(ui().rangeULmin->text(), "30");
    EXPECT_EQ(ui().rangeULmax->text(), "45");
    EXPECT_EQ(ui().uploadRateTF->text(), "42");
    EXPECT_DOUBLE_EQ(ui().sliderUL->floatValue(), 42.0);
    EXPECT_FLOAT_EQ(engine().getDATARate(), 42.0F);
    EXPECT_FLOAT_EQ(engine().getACKPause(), 0.0F);

    choose(ui().ULRangePopUp, 5);
    EXPECT_EQ(ui().rangeULmin->text(), "7");
    EXPECT_EQ(ui().rangeULmax->text(), "15");
    EXPECT_EQ(ui().uploadRateTF->text(), "13.5");
    EXPECT_FLOAT_EQ(engine().getDATARate(), 13.5F);
    choose(ui().ULRangePopUp, 3);
    EXPECT_DOUBLE_EQ(ui().sliderUL->floatMinimum(), 30.0);
    EXPECT_DOUBLE_EQ(ui().sliderUL->floatMaximum(), 45.0);
    EXPECT_DOUBLE_EQ(ui().sliderUL->floatValue(), 42.0);
    EXPECT_EQ(preferences().integerForKey(keys::connectionType), 3);
    // Typed rates are kept inside the range, with a beep for one outside it; the slider follows.
    for (const auto& [typed, kept, beeps] :
         {std::tuple{"500", 45.0F, 1}, std::tuple{"10", 30.0F, 2}, std::tuple{"40", 40.0F, 2}}) {
        type(ui().uploadRateTF, typed);
        EXPECT_FLOAT_EQ(engine().getDATARate(), kept) << typed;
        EXPECT_EQ(ui().uploadRateTF->text(), QString::number(kept)) << typed;
        EXPECT_DOUBLE_EQ(ui().sliderUL->floatValue(), kept) << typed;
        EXPECT_FLOAT_EQ(preferences().floatForKey(keys::DATARate), kept) << typed;
        EXPECT_EQ(presenter().beeps, beeps) << typed;
    }
    // The slider sets the rate.
    ui().sliderUL->setFocus();
    QTest::keyClick(ui().sliderUL, Qt::Key_Home);
    EXPECT_FLOAT_EQ(engine().getDATARate(), 30.0F);
    EXPECT_EQ(ui().uploadRateTF->text(), "30");
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::DATARate), 30.0F);
    for (int item = 0; item < 7; ++item) {
        const auto range = RangeController::rangeForConnectionType(item);
        EXPECT_LT(range.minimum, range.defaultRate);
        EXPECT_LE(range.defaultRate, range.maximum);
        if (item > 0) {
            EXPECT_LT(range.maximum, RangeController::rangeForConnectionType(item - 1).maximum)
                << "fastest first";
        }
    }
}

TEST_F(RateControls, CapSwitchesHandTheirValuesToTheEngineAndCustomRangesNeedRoom) {
    storeServices({"Server"}, {6700}, {true});
    start();
    ui().portTableView->selectRow(0);
    ui().capULSwitch->click();
    EXPECT_FLOAT_EQ(engine().getDATARate(), -1.0F);
    for (QWidget* control :
         std::initializer_list<QWidget*>{ui().sliderUL, ui().rangeULmin, ui().rangeULmax,
                                         ui().ULRangePopUp, ui().uploadRateTF}) {
        EXPECT_FALSE(control->isEnabled());
    }
    EXPECT_TRUE(engine().isCappedUL(6700)) << "rules stay while the pacing is off";
    // The services table is grey and takes no selection.
    const QModelIndex serviceCell = cell(0, "Service");
    EXPECT_FALSE(ui().portTableView->isEnabled());
    EXPECT_EQ(selectedRow(*ui().portTableView), -1);
    EXPECT_FALSE(controller().tableModel().flags(serviceCell) & Qt::ItemIsEnabled);
    EXPECT_FALSE(controller().tableModel().flags(serviceCell) & Qt::ItemIsEditable);
    EXPECT_TRUE(controller().tableModel().data(serviceCell, Qt::ForegroundRole).isValid());
    ui().portTableView->selectRow(0);
    EXPECT_EQ(selectedRow(*ui().portTableView), -1);
    ui().capULSwitch->click();
    EXPECT_FLOAT_EQ(engine().getDATARate(), 42.0F);
    EXPECT_TRUE(ui().portTableView->isEnabled());

    ui().sliderDL->setFloatValue(1234.0);
    ui().capDLSwitch->click();
    EXPECT_FLOAT_EQ(engine().getACKPause(), 1234.0F);
    EXPECT_TRUE(ui().sliderDL->isEnabled());
    EXPECT_TRUE(ui().rangeDLmin->isEnabled());
    EXPECT_TRUE(ui().rangeDLmax->isEnabled());
    EXPECT_TRUE(ui().DLRangePopUp->isEnabled()) << "it chooses the pause or the rate";
    EXPECT_FALSE(ui().downloadRateTF->isEnabled());
    // Moving the pause slider: the engine follows, the download field shows 0.
    ui().sliderDL->setFocus();
    QTest::keyClick(ui().sliderDL, Qt::Key_End);
    EXPECT_FLOAT_EQ(engine().getACKPause(), 50000.0F);
    EXPECT_EQ(ui().downloadRateTF->text(), "0");
    ui().capDLSwitch->click();
    EXPECT_FLOAT_EQ(engine().getACKPause(), 0.0F);
    EXPECT_FALSE(ui().sliderDL->isEnabled());

    // Custom ranges beep until they have room, a cancel keeps the range, kilobits are eighths.
    presenter().modalRun = [this](QDialog&) {
        if (presenter().modalRuns == 1) {
            return fill("50", "50", false, true);
        }
        if (presenter().modalRuns == 2) {
            // The entries are still there for the second try.
            EXPECT_EQ(interface().customRange().fromBWForm->text(), "50");
            return fill("-10", "20", false, true);
        }
        return presenter().modalRuns == 3 ? fill("1", "2", false, false)
                                          : fill("100", "200", true, true);
    };
    choose(ui().ULRangePopUp, RangeController::kCustomItem);
    EXPECT_EQ(presenter().modalRuns, 3);
    EXPECT_EQ(presenter().beeps, 2);
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::minDATARate), 30.0F);
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::maxDATARate), 45.0F);
    EXPECT_EQ(preferences().integerForKey(keys::connectionType), RangeController::kCustomItem);
    EXPECT_FLOAT_EQ(engine().getDATARate(), 42.0F);
    EXPECT_EQ(ui().rangeULmax->text(), "45");

    choose(ui().ULRangePopUp, RangeController::kCustomItem);  // in kilobits
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::minDATARate), 12.5F);
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::maxDATARate), 25.0F);
    EXPECT_EQ(ui().rangeULmin->text(), "12");
    EXPECT_EQ(ui().rangeULmax->text(), "25");
    EXPECT_EQ(ui().uploadRateTF->text(), "18.75");
}

TEST_F(RateControls, TheDownloadRateModeHandsTheTypedRateToTheEngineAndThePauseComesBack) {
    preferences().setBool(true, keys::downloadRateMode);
    preferences().setFloat(64.0F, keys::downloadRate);
    start();
    EXPECT_EQ(ui().DLRangePopUp->currentIndex(), DownloadRateMode::kRateItem);
    EXPECT_EQ(ui().downloadRateTF->text(), "64");
    EXPECT_FALSE(engine().isDownloadRateOn()) << "the download is not capped at start";

    ui().sliderDL->setFloatValue(1234.0);
    ui().capDLSwitch->click();
    EXPECT_TRUE(engine().isDownloadRateOn());
    EXPECT_FLOAT_EQ(engine().getDownloadRate(), 64.0F);
    EXPECT_TRUE(ui().downloadRateTF->isEnabled());
    type(ui().downloadRateTF, "250");
    EXPECT_FLOAT_EQ(engine().getDownloadRate(), 250.0F);
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::downloadRate), 250.0F);
    int beeps = 0;
    for (const char* bad : {"abc", "0", "-5", "12abc", "", "inf"}) {
        type(ui().downloadRateTF, bad);
        EXPECT_EQ(presenter().beeps, ++beeps) << bad;
        EXPECT_EQ(ui().downloadRateTF->text(), "250") << bad;
    }
    EXPECT_FLOAT_EQ(engine().getDownloadRate(), 250.0F);
    EXPECT_FLOAT_EQ(preferences().floatForKey(keys::downloadRate), 250.0F);
    // The slider's move keeps the rate in the field.
    ui().sliderDL->setFocus();
    QTest::keyClick(ui().sliderDL, Qt::Key_Home);
    EXPECT_EQ(ui().downloadRateTF->text(), "250");

    choose(ui().DLRangePopUp, DownloadRateMode::kPauseItem);
    EXPECT_FALSE(engine().isDownloadRateOn());
    EXPECT_FLOAT_EQ(engine().getACKPause(), static_cast<float>(ui().sliderDL->floatValue()));
    EXPECT_FALSE(ui().downloadRateTF->isEnabled());
    EXPECT_FALSE(preferences().boolForKey(keys::downloadRateMode));

    choose(ui().DLRangePopUp, DownloadRateMode::kRateItem);
    EXPECT_TRUE(preferences().boolForKey(keys::downloadRateMode));
    ui().capDLSwitch->click();
    EXPECT_FALSE(engine().isDownloadRateOn()) << "no download cap, no rate";
    EXPECT_FALSE(ui().DLRangePopUp->isEnabled());
    EXPECT_FALSE(ui().downloadRateTF->isEnabled());
}

}  // namespace
}  // namespace quellbox::testing
