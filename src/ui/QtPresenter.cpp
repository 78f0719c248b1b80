#include "ui/QtPresenter.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "platform/SystemLog.h"

namespace quellbox {

void QtPresenter::beginSheet(QWidget& window, const Sheet& sheet, std::function<void(int answer)> answered) {
    // The title goes into the box too: a window-modal box may be shown without a title bar.
    auto* box = new QMessageBox(QMessageBox::Question, QString::fromStdString(sheet.title),
                                QString::fromStdString(sheet.title), QMessageBox::NoButton, &window);
    box->setInformativeText(QString::fromStdString(sheet.message));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QPushButton* defaultButton = box->addButton(QString::fromStdString(sheet.defaultButton), QMessageBox::AcceptRole);
    QPushButton* alternateButton = box->addButton(QString::fromStdString(sheet.alternateButton), QMessageBox::RejectRole);
    QPushButton* otherButton = box->addButton(QString::fromStdString(sheet.otherButton), QMessageBox::DestructiveRole);
    box->setDefaultButton(defaultButton);
    // Escape and the window's close button mean the alternate answer (Cancel, "Don't care !").
    box->setEscapeButton(alternateButton);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [=, answered = std::move(answered)](QAbstractButton* clicked) {
                         if (clicked == defaultButton) {
                             answered(kDefaultButton);
                         } else if (clicked == otherButton) {
                             answered(kOtherButton);
                         } else {
                             answered(kAlternateButton);
                         }
                     });
    box->open();
}

void QtPresenter::runAlert(const std::string& title, const std::string& message, const std::string& button) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(title), QString::fromStdString(title),
                    QMessageBox::NoButton, QApplication::activeWindow());
    box.setInformativeText(QString::fromStdString(message));
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* only = box.addButton(QString::fromStdString(button), QMessageBox::AcceptRole);
    box.setDefaultButton(only);
    box.setEscapeButton(only);
    box.exec();
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
