#include "ui/VersionCheck.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace quellbox {

namespace {
constexpr int kMaxRedirects = 3;
}

VersionCheck::VersionCheck(std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), timeout_(timeout) {}

void VersionCheck::fetch(const QString& server, Answer answered) {
    QUrl url(server);
    url.setPath(QString::fromLatin1(kVersionFilePath));
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
        // Answered later, as a transfer would be, so that callers see one behaviour.
        QTimer::singleShot(0, this, [answered = std::move(answered)] { answered(std::nullopt); });
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(timeout_.count()));
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = manager_.get(request);
    // A body beyond the limit ends the transfer at once, whether announced or not.
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, tooLarge](qint64 received, qint64 total) {
                if (!*tooLarge && (received > kMaxBodyBytes || total > kMaxBodyBytes)) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(
        reply, &QNetworkReply::finished, this, [reply, tooLarge, answered = std::move(answered)] {
            reply->deleteLater();
            std::optional<PlistValue::Dictionary> versionFile;
            if (!*tooLarge && reply->error() == QNetworkReply::NoError) {
                const QByteArray body = reply->read(kMaxBodyBytes + 1);
                if (body.size() <= kMaxBodyBytes) {
                    auto parsed = PlistValue::fromXml(
                        std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
                    if (parsed && parsed->isDictionary()) {
                        versionFile = parsed->asDictionary();
                    }
                }
            }
            answered(std::move(versionFile));
        });
}

}  // namespace quellbox
