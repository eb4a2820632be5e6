#pragma once

#include "net/keptdownload.h"
#include "net/sha256.h"
#include "platform/nativeapi.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Fetches one file with an HTTP(S) GET into a directory, writing each chunk as it arrives, under
// the file's name with ".part" appended until it is complete. Failures the network caused are
// retried, resuming where the file stands when the server allows it, and what they leave is kept
// for a later start to continue. A download ends with exactly one of finished() or
// errorOccurred().
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    explicit FileDownloader(QObject *parent = nullptr);
    ~FileDownloader() override;

    // The file is locked against other instances from before it is emptied until unlockFile(),
    // a failure or the downloader's end, so that what is verified is what the caller extracts
    // or starts. Another instance's download refuses to start. `filePath` is the file's final
    // path.
    bool download(QString url, QString directory, QString &filePath, QString &error);
    // Ends the download and removes what it wrote.
    void cancel();
    void unlockFile();
    // An attempt fails when no byte arrives for this long; 0 waits for ever.
    void setStallTimeout(int milliseconds);
    int stallTimeout() const { return stallMilliseconds; }
    // The delay doubles after each retry; (0, 0) makes a single attempt.
    void setRetryPolicy(int maxRetries, int firstDelayMilliseconds);
    // The wait scheduled before each retry, in milliseconds; each wait is between half of it and
    // all of it, by chance.
    QVector<int> retryDelays() const;

signals:
    void finished();
    void errorOccurred(QString error);
    void downloadProgress(quint64 bytesReceived, quint64 bytesTotal);

private slots:
    void dataReady(QNetworkReply *reply);
    void partialDataReady();
    void on_download_progress(qint64 bytesReceived, qint64 bytesTotal);

private:
    enum class Partial { Keep, Remove };

    bool startRequest(QString url);
    void hashKeptPart();
    void sendRequest();
    bool acceptResponse();
    bool continuesFile() const;
    bool restartFile();
    void retryOrFail(const QString &error, qint64 serverDelay = -1);
    void checkpoint();
    void dropReply();
    void release();
    bool writeChunk(const QByteArray &chunk);
    void leave(Partial partial);
    void fail(const QString &error, Partial partial = Partial::Remove);

    QNetworkAccessManager *networkManager = nullptr;
    QFile *outputFile = nullptr;
    nativeapi::FileHandle fileLock = nativeapi::noFile;
    QNetworkReply *currentReply = nullptr;
    qint64 totalBytes = 0;
    qint64 receivedBytes = 0;

    KeptDownload kept;
    // The product's URL without its fragment, as the kept download's record names it.
    QString productUrl;
    QUrl requestUrl;
    QTimer *retryTimer;
    int stallMilliseconds = 30000;
    int maxRetries = 3;
    int firstRetryDelay = 1000;
    int retriesDone = 0;
    // Where the current attempt's body starts in the file: 0, or the bytes kept from before.
    qint64 attemptStart = 0;
    // The bytes the kept download's record counts.
    qint64 recordedBytes = 0;
    bool responseAccepted = false;
    // What the answer that started the file allows: a range request, checked against this
    // validator (a strong ETag, else Last-Modified; empty when the server offered no ranges)
    // and the file's complete length.
    QByteArray validator;
    qint64 completeLength = -1;
    // Empty when the URL names no digest.
    QByteArray expectedDigest;
    Sha256 digest;
};
