#include "testhttpserver.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QList<QByteArray> parts, int pause, QObject *parent)
    : QTcpServer(parent), parts(std::move(parts)), pause(pause)
{
    listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    this->certificate = certificate;
    this->key = key;
}

QString TestHttpServer::url(const QString &path) const
{
    const QString scheme = certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme, QString::number(serverPort()), path);
}

QByteArray TestHttpServer::response(const QByteArray &statusLine, const QByteArray &headers,
                                    const QByteArray &body)
{
    return "HTTP/1.1 " + statusLine + "\r\n" + headers + "\r\n" + body;
}

void TestHttpServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    connect(socket, &QSslSocket::readyRead, this,
            [this, socket, request = QByteArray(), answered = false]() mutable {
                request += socket->readAll();
                // Every request here is a GET without a body: the answer starts at the blank line.
                if (answered || !request.contains("\r\n\r\n"))
                    return;
                answered = true;
                writePart(socket, 0);
            });
    connect(socket, &QSslSocket::disconnected, this, [this, socket] {
        socket->deleteLater();
        emit connectionClosed();
    });
    if (!certificate.isNull()) {
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        socket->startServerEncryption();
    }
}

void TestHttpServer::writePart(QTcpSocket *socket, int index)
{
    if (index == parts.size()) {
        socket->disconnectFromHost();
        return;
    }
    socket->write(parts.at(index));
    QTimer::singleShot(pause, socket, [this, socket, index] { writePart(socket, index + 1); });
}
