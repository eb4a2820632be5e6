#include "testhttpserver.h"

#include <QTcpSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QByteArrayList parts, int pause)
    : parts(std::move(parts)), pause(pause)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket, request = QByteArray()]() mutable {
                    request += socket->readAll();
                    // Every request here is a GET without a body, so it ends at the blank line.
                    if (request.endsWith("\r\n\r\n"))
                        writePart(socket, 0);
                });
    });
    listen(QHostAddress::LocalHost, 0);
}

QString TestHttpServer::url(const QString &path) const
{
    return "http://127.0.0.1:" + QString::number(serverPort()) + path;
}

void TestHttpServer::writePart(QAbstractSocket *socket, int index)
{
    if (index == parts.size() || socket->state() != QAbstractSocket::ConnectedState) {
        socket->disconnectFromHost();
        return;
    }
    socket->write(parts.at(index));
    QTimer::singleShot(pause, socket, [this, socket, index] { writePart(socket, index + 1); });
}
