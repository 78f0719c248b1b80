#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>

namespace quellbox::testing {

// A tiny HTTP server on 127.0.0.1 for the version check: it answers every request with
// status 200 and the body given, or, when silent, accepts the connection and never answers.
class LocalHttpServer {
public:
    explicit LocalHttpServer(QByteArray body, bool silent = false);

    // "http://127.0.0.1:port".
    QString address() const;
    // Requests read completely so far.
    int requests() const { return requests_; }
    // The first line of the last request ("GET /path HTTP/1.1").
    const QByteArray& lastRequestLine() const { return lastRequestLine_; }
    // An address on which nothing listens (a port this server held a moment ago).
    static QString closedAddress();

private:
    QTcpServer server_;
    QByteArray body_;
    bool silent_;
    int requests_ = 0;
    QByteArray lastRequestLine_;
};

}  // namespace quellbox::testing
