#include "testhttpserver.h"

#include <QSslSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QByteArrayList answers, QString tlsFolder)
    : answers(std::move(answers)), tlsFolder(std::move(tlsFolder))
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket, request = QByteArray()]() mutable {
                    request += socket->readAll();
                    // Every request here is a GET without a body, so it ends at the blank line.
                    if (!request.endsWith("\r\n\r\n"))
                        return;
                    // One request a connection: what follows on it goes unanswered, as it closes.
                    disconnect(socket, nullptr, this, nullptr);
                    requests.append(request);
                    // The last answer, once they run out.
                    QByteArray answer =
                        this->answers.value(std::min(requests.size(), this->answers.size()) - 1);
                    const int bodyStart = answer.indexOf("\r\n\r\n") + 4;
                    if (bodyStart > 3 && request.contains("deflate")) {
                        // HTTP's deflate is zlib's format. The length given is the uncompressed
                        // one, so the body now ends at the close.
                        answer = answer.left(bodyStart - 4).replace("Content-Length", "X-Length") +
                                 "\r\nContent-Encoding: deflate\r\n\r\n" +
                                 qCompress(answer.mid(bodyStart)).mid(4);
                    }
                    writeFrom(socket, answer, 0);
                });
    });
    listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (!tlsFolder.isEmpty()) {
        socket->setLocalCertificate(tlsFolder + "/certificate.pem");
        socket->setPrivateKey(tlsFolder + "/key.pem", QSsl::Ec);
        socket->startServerEncryption();
    }
    addPendingConnection(socket);
}

void TestHttpServer::writeFrom(QAbstractSocket *socket, const QByteArray &answer, int offset)
{
    if (offset < answer.size() && socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(answer.mid(offset, 32 * 1024));
        QTimer::singleShot(20, socket, [=] { writeFrom(socket, answer, offset + 32 * 1024); });
    } else if (!answer.isEmpty()) {
        socket->disconnectFromHost();
    }
}
