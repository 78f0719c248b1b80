#include "LocalHttpServer.h"

#include <QTcpSocket>
#include <memory>

namespace quellbox::testing {

LocalHttpServer::LocalHttpServer(QByteArray body, bool silent)
    : body_(std::move(body)), silent_(silent) {
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test server cannot listen on 127.0.0.1");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto request = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
                request->append(socket->readAll());
                if (!request->contains("\r\n\r\n")) {
                    return;
                }
                ++requests_;
                lastRequestLine_ = request->left(request->indexOf("\r\n"));
                request->clear();
                if (silent_) {
                    return;
                }
                socket->write(
                    "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nConnection: close\r\n"
                    "Content-Length: " +
                    QByteArray::number(body_.size()) + "\r\n\r\n" + body_);
                socket->disconnectFromHost();
            });
        }
    });
}

QString LocalHttpServer::address() const {
    return QString("http://127.0.0.1:%1").arg(server_.serverPort());
}

QString LocalHttpServer::closedAddress() {
    QTcpServer held;
    if (!held.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test server cannot listen on 127.0.0.1");
    }
    return QString("http://127.0.0.1:%1").arg(held.serverPort());
}

}  // namespace quellbox::testing
