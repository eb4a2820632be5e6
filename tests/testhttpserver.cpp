#include "testhttpserver.h"

#include <QTcpSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QByteArrayList answers) : answers(std::move(answers))
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = nextPendingConnection();
        connect(
            socket, &QTcpSocket::readyRead, this, [this, socket, request = QByteArray()]() mutable {
                request += socket->readAll();
                // Every request here is a GET without a body, so it ends at the blank line.
                if (!request.endsWith("\r\n\r\n"))
                    return;
                requests.append(request);
                // The last answer, once they run out.
                writeFrom(socket,
                          this->answers.value(std::min(requests.size(), this->answers.size()) - 1),
                          0);
            });
    });
    listen(QHostAddress::LocalHost, 0);
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
