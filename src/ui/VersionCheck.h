#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

#include "platform/PlistValue.h"

namespace quellbox {

// Fetches the version file, a property-list dictionary, from the maker's web server over
// HTTP. The transfer runs on the GUI thread's event loop and never blocks it; the answer
// comes back there. Anything but a dictionary within the time-out and the size limit (no
// server, an HTTP error, garbage, a body too large, a redirect loop) answers nothing.
class VersionCheck : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kVersionFilePath = "/QuellboxNewVersionCheck.plist";
    // A version file is a few hundred bytes; anything much larger is not one.
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

    using Answer = std::function<void(std::optional<PlistValue::Dictionary> versionFile)>;

    explicit VersionCheck(std::chrono::milliseconds timeout = kDefaultTimeout,
                          QObject* parent = nullptr);

    // Starts fetching `server` (scheme, host and port, e.g. "http://quellbox.example.org")
    // followed by the version file's path; returns at once. `answered` runs once, later, on
    // this object's thread. Only http and https are fetched.
    void fetch(const QString& server, Answer answered);

private:
    QNetworkAccessManager manager_;
    std::chrono::milliseconds timeout_;
};

}  // namespace quellbox
