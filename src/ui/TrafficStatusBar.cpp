#include "ui/TrafficStatusBar.h"

#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>

namespace quellbox {

namespace {

QString kib(double value) { return QString::number(value, 'f', 1); }

}  // namespace

TrafficStatusBar::TrafficStatusBar(QMainWindow& window, const QString& backendName, Now now)
    : now_(std::move(now)),
      upload_(new QLabel(tr("Upload – KiB/s"))),
      acks_(new QLabel(tr("ACKs – KiB/s"))),
      download_(new QLabel(tr("Download – KiB/s"))),
      backend_(new QLabel(backendName)) {
    upload_->setToolTip(
        tr("The capped services' upload over the last second, in KiB/s: the data the engine "
           "paces to the upload cap"));
    acks_->setToolTip(
        tr("The acknowledgements the capped services sent over the last second, in KiB/s; they "
           "go out at once, unpaced, and do not count against the upload cap"));
    download_->setToolTip(
        tr("The capped services' download over the last second, in KiB/s: the bytes their "
           "acknowledgements newly acknowledged"));
    backend_->setToolTip(
        tr("The backend, how the engine receives the packets it shapes: %1").arg(backendName));
    // Short texts, so that the four fit the window's narrowest width; the tooltips tell more.
    QStatusBar* bar = window.statusBar();
    bar->addWidget(upload_);
    bar->addWidget(download_);
    bar->addWidget(acks_);
    bar->addPermanentWidget(backend_);
}

std::optional<TrafficRates::Rates> TrafficStatusBar::addTotals(const TrafficTotals& totals) {
    rates_.addTotals(now_(), totals);
    const auto rates = rates_.rates();
    if (rates) {
        show(*rates);
    }
    return rates;
}

void TrafficStatusBar::show(const TrafficRates::Rates& rates) {
    upload_->setText(tr("Upload %1 KiB/s paced").arg(kib(rates.pacedUploadKiB)));
    acks_->setText(tr("ACKs %1 KiB/s").arg(kib(rates.ackKiB)));
    download_->setText(tr("Download %1 KiB/s").arg(kib(rates.downloadKiB)));
}

QString TrafficStatusBar::uploadText() const { return upload_->text(); }

QString TrafficStatusBar::ackText() const { return acks_->text(); }

QString TrafficStatusBar::downloadText() const { return download_->text(); }

QStringList TrafficStatusBar::texts() const { return {uploadText(), downloadText(), ackText()}; }

}  // namespace quellbox
