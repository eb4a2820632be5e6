#pragma once

#include <QByteArrayList>
#include <QTcpServer>

// An HTTP server on 127.0.0.1 that answers every request with `parts`, written `pause` ms apart,
// and then closes. A part may end anywhere, mid-header or mid-chunk, to play a broken server.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    TestHttpServer(QByteArrayList parts, int pause);

    QString url(const QString &path) const;

private:
    void writePart(QAbstractSocket *socket, int index);

    QByteArrayList parts;
    int pause;
};
