#include "ui/TrayIcon.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QMainWindow>
#include <QStyle>

#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "ui_MainWindow.h"

namespace quellbox {

namespace {

// The installed icon when the desktop knows it, else a stock one: a tray entry without an
// icon is invisible.
QIcon trayImage() {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        icon = QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon);
    }
    return icon;
}

}  // namespace

TrayIcon::TrayIcon(Collaborators collaborators)
    : window_(collaborators.window),
      ui_(collaborators.ui),
      keepRunningSwitch_(collaborators.keepRunningSwitch),
      preferences_(collaborators.preferences),
      trayAvailable_(collaborators.trayAvailable),
      showHide_(tr("Hide the window")),
      quit_(tr("Quit Quellbox")),
      icon_(trayImage()) {
    showHide_.setToolTip(tr("Show the main window, or hide it and keep running in the tray"));
    quit_.setToolTip(tr("Quit, asking first whether to save changed settings"));
    menu_.addAction(&showHide_);
    menu_.addSeparator();
    // The window's own items: they click the window's controls, so both stay in step.
    menu_.addAction(ui_.actionCapUpload);
    menu_.addAction(ui_.actionPriorityMode);
    menu_.addSeparator();
    menu_.addAction(&quit_);
    icon_.setContextMenu(&menu_);
    icon_.setToolTip(QStringLiteral("Quellbox"));

    connect(&showHide_, &QAction::triggered, this, [this] { toggleWindow(); });
    connect(&quit_, &QAction::triggered, this, [this] { quit(); });
    connect(&menu_, &QMenu::aboutToShow, this, [this] { updateShowHideText(); });
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    toggleWindow();
                }
            });
    connect(&keepRunningSwitch_, &QCheckBox::clicked, this, [this] { storeKeepRunning(); });
}

TrayIcon::~TrayIcon() { window_.removeEventFilter(this); }

void TrayIcon::awakeFromNib() {
    keepRunningSwitch_.setChecked(preferences_.boolForKey(keys::keepRunningInTray));
    keepRunningSwitch_.setEnabled(trayAvailable_);
    if (!trayAvailable_) {
        keepRunningSwitch_.setToolTip(tr("This desktop has no tray: closing the window quits"));
    }
    window_.installEventFilter(this);
    if (trayAvailable_) {
        icon_.show();
    }
}

void TrayIcon::showRates(const QStringList& rates) {
    icon_.setToolTip(QStringLiteral("Quellbox\n") + rates.join(QLatin1Char('\n')));
}

bool TrayIcon::keepsRunningOnClose() const {
    return trayAvailable_ && preferences_.boolForKey(keys::keepRunningInTray);
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_ && event->type() == QEvent::Close && keepsRunningOnClose()) {
        window_.hide();
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TrayIcon::toggleWindow() {
    if (window_.isVisible()) {
        window_.hide();
    } else {
        window_.show();
        window_.raise();
        window_.activateWindow();
    }
    updateShowHideText();
}

void TrayIcon::quit() {
    // The save question is a sheet of the main window: it must be on screen to be answered.
    if (!window_.isVisible()) {
        window_.show();
        window_.raise();
    }
    ui_.actionQuit->trigger();
}

void TrayIcon::updateShowHideText() {
    showHide_.setText(window_.isVisible() ? tr("Hide the window") : tr("Show the window"));
}

void TrayIcon::storeKeepRunning() {
    preferences_.setBool(keepRunningSwitch_.isChecked(), keys::keepRunningInTray);
}

}  // namespace quellbox
