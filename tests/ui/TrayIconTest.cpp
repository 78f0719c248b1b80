#include <QCheckBox>

#include "WindowFixture.h"
#include "settings/PreferenceKeys.h"
#include "ui/TrayIcon.h"

namespace quellbox::testing {
namespace {

// The tray over the fixture's window; the desktop is said to have a tray unless told not.
class Tray : public WindowFixture {
protected:
    void startWithTray(bool trayAvailable = true) {
        start();
        tray_ = std::make_unique<TrayIcon>(TrayIcon::Collaborators{
            interface().mainWindow(), ui(), *prefWindow().keepRunningInTrayButton, preferences(),
            trayAvailable});
        tray_->awakeFromNib();
    }
    TrayIcon& tray() { return *tray_; }

private:
    std::unique_ptr<TrayIcon> tray_;
};

TEST_F(Tray, MenuActsThroughTheWindowsControls) {
    startWithTray();
    const QList<QAction*> items = tray().menu().actions();
    ASSERT_TRUE(items.contains(ui().actionCapUpload));
    ASSERT_TRUE(items.contains(ui().actionPriorityMode));
    const float capped = engine().getDATARate();
    ASSERT_GT(capped, 0.0F);
    ui().actionCapUpload->trigger();  // as the tray menu's item does
    EXPECT_FALSE(ui().capULSwitch->isChecked());
    EXPECT_LT(engine().getDATARate(), 0.0F);
    ui().actionCapUpload->trigger();
    EXPECT_EQ(engine().getDATARate(), capped);

    tray().showRates({"Upload 41.9 KiB/s paced", "ACKs 1.2 KiB/s"});
    EXPECT_EQ(tray().toolTip(), "Quellbox\nUpload 41.9 KiB/s paced\nACKs 1.2 KiB/s");
}

TEST_F(Tray, ClosingQuitsUnlessKeepingRunningInTheTrayIsTicked) {
    startWithTray();
    ASSERT_FALSE(preferences().boolForKey(keys::keepRunningInTray));  // the registered default
    prefWindow().keepRunningInTrayButton->click();
    EXPECT_TRUE(preferences().boolForKey(keys::keepRunningInTray));

    EXPECT_FALSE(interface().mainWindow().close());
    EXPECT_FALSE(interface().mainWindow().isVisible());
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(presenter().sheets.empty());
    tray().showHideAction().trigger();
    EXPECT_TRUE(interface().mainWindow().isVisible());

    prefWindow().keepRunningInTrayButton->click();
    interface().mainWindow().close();
    EXPECT_EQ(quits, 1);
}

TEST_F(Tray, WithoutATrayClosingStillQuits) {
    preferences().setBool(true, keys::keepRunningInTray);
    startWithTray(false);
    EXPECT_FALSE(prefWindow().keepRunningInTrayButton->isEnabled());
    interface().mainWindow().close();
    EXPECT_EQ(quits, 1);
}

TEST_F(Tray, QuitShowsTheWindowAndAsksTheSaveQuestion) {
    startWithTray();
    preferences().setFloat(33.0F, keys::DATARate);
    interface().mainWindow().hide();
    tray().quitAction().trigger();
    EXPECT_TRUE(interface().mainWindow().isVisible());
    ASSERT_EQ(presenter().sheets.size(), 1U);
    EXPECT_EQ(presenter().sheets[0].title, "Do you want to save the parameters before quitting ?");
    presenter().answerLastSheet(Presenter::kOtherButton);
    EXPECT_EQ(quits, 1);
}

}  // namespace
}  // namespace quellbox::testing
