#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QCheckBox;
class QMainWindow;

namespace Ui {
class QuellboxMainWindow;
}  // namespace Ui

namespace quellbox {

class Preferences;

// The icon in the desktop's tray: the rates in its tooltip, and a menu that shows or hides the
// main window, switches the upload cap and Priority Mode through the window's own menu items,
// and quits through the window's quit (with its save question). Closing the window keeps the
// program running in the tray only when the user ticked that in Preferences and the desktop
// has a tray; otherwise closing quits, as it always did.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    struct Collaborators {
        QMainWindow& window;
        Ui::QuellboxMainWindow& ui;
        QCheckBox& keepRunningSwitch;  // the Preferences window's check box
        Preferences& preferences;
        bool trayAvailable;  // QSystemTrayIcon::isSystemTrayAvailable(), or a test's answer
    };

    explicit TrayIcon(Collaborators collaborators);
    ~TrayIcon() override;
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Shows the icon when the desktop has a tray. The close filter is installed here, after
    // the main window's controller has installed its own, so that it sees the close first.
    void awakeFromNib();
    // The tooltip's text: the status bar's figures, one per line.
    void showRates(const QStringList& rates);

    QMenu& menu() { return menu_; }
    QAction& showHideAction() { return showHide_; }
    QAction& quitAction() { return quit_; }
    QString toolTip() const { return icon_.toolTip(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool keepsRunningOnClose() const;
    void toggleWindow();
    void quit();
    void updateShowHideText();
    void storeKeepRunning();

    QMainWindow& window_;
    Ui::QuellboxMainWindow& ui_;
    QCheckBox& keepRunningSwitch_;
    Preferences& preferences_;
    bool trayAvailable_;
    QMenu menu_;
    QAction showHide_;
    QAction quit_;
    QSystemTrayIcon icon_;
};

}  // namespace quellbox
