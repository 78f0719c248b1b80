#pragma once

#include "ui/Presenter.h"

namespace quellbox {

// The Presenter of the application: sheets are window-modal message boxes, alerts
// application-modal ones, the beep is the desktop's, URLs go to QDesktopServices.
class QtPresenter : public Presenter {
public:
    void beginSheet(QWidget& window, const Sheet& sheet,
                    std::function<void(int answer)> answered) override;
    void runAlert(const std::string& title, const std::string& message,
                  const std::string& button) override;
    int runAlertPanel(const Sheet& panel) override;
    int runModal(QDialog& dialog) override;
    void beep() override;
    void openUrl(const std::string& url) override;
};

}  // namespace quellbox
