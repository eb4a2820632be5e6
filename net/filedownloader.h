#pragma once

#include <QObject>
#include <QString>

class QByteArray;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file with an HTTP(S) GET into a directory, writing each chunk as it arrives.
// A download ends with exactly one of finished() or errorOccurred().
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    explicit FileDownloader(QObject *parent = nullptr);

    bool download(QString url, QString directory, QString &filePath, QString &error);

signals:
    void finished();
    void errorOccurred(QString error);
    void downloadProgress(quint64 bytesReceived, quint64 bytesTotal);

private slots:
    void dataReady(QNetworkReply *reply);
    void partialDataReady();
    void on_download_progress(qint64 bytesReceived, qint64 bytesTotal);

private:
    bool startRequest(QString url);
    void release();
    bool writeChunk(const QByteArray &chunk);
    void giveUpReply();
    void fail(const QString &error);

    QNetworkAccessManager *networkManager = nullptr;
    QFile *outputFile = nullptr;
    QNetworkReply *currentReply = nullptr;
    qint64 totalBytes = 0;
    qint64 receivedBytes = 0;
};
