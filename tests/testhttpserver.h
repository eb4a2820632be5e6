#pragma once

#include <QByteArrayList>
#include <QTcpServer>

// An HTTP server on 127.0.0.1. The n-th request is answered with answers[n], or with the last
// answer once they run out, written in parts of 32 KiB 20 ms apart; then the connection is
// closed. An answer may end anywhere, mid-header or mid-body, to play a broken server; an empty
// one stalls it, keeping the connection open without a word. Like many servers, it compresses
// the body whenever the request allows it. Given a folder holding key.pem and certificate.pem,
// it speaks TLS.
class TestHttpServer : public QTcpServer
{
public:
    explicit TestHttpServer(QByteArrayList answers, QString tlsFolder = {});

    QByteArrayList answers;
    // The head of every request, in the order they came.
    QByteArrayList requests;

private:
    void incomingConnection(qintptr descriptor) override;
    void writeFrom(QAbstractSocket *socket, const QByteArray &answer, int offset);

    QString tlsFolder;
};
