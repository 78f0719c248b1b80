#pragma once

#include <functional>
#include <string>

class QDialog;
class QWidget;

namespace quellbox {

// How the controllers put questions and alerts to the user, sound the beep, open web pages
// and run modal dialogs. The application uses QtPresenter; tests answer with chosen buttons
// so that nothing ever blocks.
class Presenter {
public:
    // A question attached to a window: the default, alternate and other buttons answer
    // kDefaultButton, kAlternateButton and kOtherButton.
    struct Sheet {
        std::string title;
        std::string defaultButton;
        std::string alternateButton;
        std::string otherButton;
        std::string message;
    };
    static constexpr int kDefaultButton = 1;
    static constexpr int kAlternateButton = 0;
    static constexpr int kOtherButton = -1;

    virtual ~Presenter() = default;

    // Shows `sheet` modal to `window` only and returns at once; `answered` gets the answer
    // later, on the GUI thread. Buttons with an empty title are left out.
    virtual void beginSheet(QWidget& window, const Sheet& sheet,
                            std::function<void(int answer)> answered) = 0;
    // An application-modal alert with one button; returns when the button is pressed.
    virtual void runAlert(const std::string& title, const std::string& message,
                          const std::string& button) = 0;
    // An application-modal alert with the panel's buttons (those with an empty title are
    // left out); returns the answer (kDefaultButton, kAlternateButton or kOtherButton).
    virtual int runAlertPanel(const Sheet& panel) = 0;
    // Runs `dialog` application-modal until one of its buttons ends the run; answers the
    // code the run ended with.
    virtual int runModal(QDialog& dialog) = 0;
    virtual void beep() = 0;
    // Opens a web page or a mailto: address with the desktop's default program.
    virtual void openUrl(const std::string& url) = 0;
};

}  // namespace quellbox
