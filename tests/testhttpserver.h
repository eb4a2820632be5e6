#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QTcpSocket;

// An HTTP server on 127.0.0.1 that answers every request with scripted bytes: the parts are
// written one at a time, `pause` milliseconds apart, and the connection is closed after the
// last one. A part may end anywhere, mid-header or mid-chunk, to play a broken server.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestHttpServer(QList<QByteArray> parts, int pause = 0, QObject *parent = nullptr);

    // Serves HTTPS with this certificate from the next connection on.
    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    QString url(const QString &path) const;

    static QByteArray response(const QByteArray &statusLine, const QByteArray &headers,
                               const QByteArray &body);

signals:
    void connectionClosed();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void writePart(QTcpSocket *socket, int index);

    QList<QByteArray> parts;
    int pause;
    QSslCertificate certificate;
    QSslKey key;
};
