#include "ui/QtPresenter.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// A message box with the sheet's texts and buttons; a button whose title is empty is left
// out. The title goes into the box too: a modal box may be shown without a title bar.
// Escape and the window's close button mean the alternate answer (Cancel, "Don't care !"),
// or the default one when there is no alternate button.
class SheetBox {
public:
    SheetBox(QMessageBox& box, const Presenter::Sheet& sheet) : box_(box) {
        box.setText(QString::fromStdString(sheet.title));
        box.setInformativeText(QString::fromStdString(sheet.message));
        defaultButton_ = add(sheet.defaultButton, QMessageBox::AcceptRole);
        alternateButton_ = add(sheet.alternateButton, QMessageBox::RejectRole);
        otherButton_ = add(sheet.otherButton, QMessageBox::DestructiveRole);
        box.setDefaultButton(defaultButton_);
        box.setEscapeButton(alternateButton_ != nullptr ? alternateButton_ : defaultButton_);
    }

    int answerFor(const QAbstractButton* clicked) const {
        if (clicked == nullptr || clicked == alternateButton_) {
            return Presenter::kAlternateButton;
        }
        return clicked == otherButton_ ? Presenter::kOtherButton : Presenter::kDefaultButton;
    }

private:
    QPushButton* add(const std::string& title, QMessageBox::ButtonRole role) {
        return title.empty() ? nullptr : box_.addButton(QString::fromStdString(title), role);
    }

    QMessageBox& box_;
    QPushButton* defaultButton_ = nullptr;
    QPushButton* alternateButton_ = nullptr;
    QPushButton* otherButton_ = nullptr;
};

}  // namespace

void QtPresenter::beginSheet(QWidget& window, const Sheet& sheet,
                             std::function<void(int answer)> answered) {
    auto* box = new QMessageBox(QMessageBox::Question, QString::fromStdString(sheet.title),
                                QString(), QMessageBox::NoButton, &window);
    auto buttons = std::make_shared<SheetBox>(*box, sheet);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [buttons, answered = std::move(answered)](QAbstractButton* clicked) {
                         answered(buttons->answerFor(clicked));
                     });
    box->open();
}

void QtPresenter::runAlert(const std::string& title, const std::string& message,
                           const std::string& button) {
    runAlertPanel(Sheet{title, button, "", "", message});
}

int QtPresenter::runAlertPanel(const Sheet& panel) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(panel.title), QString(),
                    QMessageBox::NoButton, QApplication::activeWindow());
    const SheetBox buttons(box, panel);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return buttons.answerFor(box.clickedButton());
}

int QtPresenter::runModal(QDialog& dialog) {
    dialog.setWindowModality(Qt::ApplicationModal);
    return dialog.exec();
}

void QtPresenter::beep() { QApplication::beep(); }

void QtPresenter::openUrl(const std::string& url) {
    if (!QDesktopServices::openUrl(QUrl(QString::fromStdString(url)))) {
        SystemLog::logf("can't open %s", url.c_str());
    }
}

}  // namespace quellbox
