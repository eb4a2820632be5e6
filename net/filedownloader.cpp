#include "net/filedownloader.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>
#include <QVariant>

namespace {

// Qt's network thread keeps whatever it receives in the reply until the reply is read. On a
// fast link the GUI thread falls behind and, without a limit, that buffer grows to the size of
// the file; with one, the network thread stops reading the socket until the buffer drains.
// Larger buffers bought no speed on a loopback gigabyte and cost several times their own size in
// resident memory, as Qt holds copies on both threads.
constexpr qint64 readBufferSize = 2 * 1024 * 1024;

bool isPlainFileName(const QString &fileName)
{
    // A backslash separates folders on Windows, so a name holding one would leave the directory.
    return fileName != QLatin1String(".") && fileName != QLatin1String("..") &&
           !fileName.contains(QLatin1Char('\\'));
}

} // namespace

FileDownloader::FileDownloader(QObject *parent) : QObject(parent) {}

bool FileDownloader::download(QString url, QString directory, QString &filePath, QString &error)
{
    release();

    if (!QDir().mkpath(directory)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(directory);
        return false;
    }

    const QString fileName = QUrl(url, QUrl::TolerantMode).fileName(QUrl::FullyDecoded);
    filePath = directory + QLatin1Char('/') + fileName;

    // One arg() call for both values, so that a "%2" inside the path is not replaced as well.
    const QString failedToCreate = QStringLiteral("Failed to create %1 (%2).");
    if (!isPlainFileName(fileName)) {
        error = failedToCreate.arg(filePath, QStringLiteral("not a plain file name"));
        return false;
    }

    outputFile = new QFile(filePath, this);
    // Unbuffered: each chunk reaches the file as it arrives, and a failed write is reported
    // for the chunk that caused it instead of at a later flush.
    if (!outputFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = failedToCreate.arg(filePath, outputFile->errorString());
        release();
        return false;
    }

    return startRequest(url);
}

bool FileDownloader::startRequest(QString url)
{
    networkManager = new QNetworkAccessManager(this);
    connect(networkManager, &QNetworkAccessManager::finished, this, &FileDownloader::dataReady);

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setSslConfiguration(QSslConfiguration::defaultConfiguration());

    currentReply = networkManager->get(request);
    currentReply->setReadBufferSize(readBufferSize);
    totalBytes = 0;
    receivedBytes = 0;

    connect(currentReply, &QIODevice::readyRead, this, &FileDownloader::partialDataReady);
    connect(currentReply, &QNetworkReply::downloadProgress, this,
            &FileDownloader::on_download_progress);
    return true;
}

void FileDownloader::release()
{
    if (networkManager) {
        networkManager->disconnect(this);
        networkManager->deleteLater();
        networkManager = nullptr;
    }
    if (currentReply) {
        currentReply->disconnect(this);
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    if (outputFile) {
        outputFile->deleteLater();
        outputFile = nullptr;
    }
}

bool FileDownloader::writeChunk(const QByteArray &chunk)
{
    // A short count is a failure too: it is how a full disk shows on the chunk that filled it.
    if (outputFile->write(chunk) == chunk.size())
        return true;

    const QString error = QStringLiteral("I/O failure (%1)").arg(outputFile->errorString());
    giveUpReply();
    emit errorOccurred(error);
    return false;
}

void FileDownloader::giveUpReply()
{
    // The receiver of errorOccurred may run a nested event loop, in which a reply that is only
    // scheduled for deletion would go on delivering data and, at its end, a finished().
    // Disconnected first, so that abort() does not report its own cancellation.
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    networkManager->disconnect(this);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void FileDownloader::fail(const QString &error)
{
    // Released before the signal, whose receiver may run a nested event loop.
    release();
    emit errorOccurred(error);
}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError) {
        fail(reply->errorString());
        return;
    }

    // Qt 5 reports a redirect, which is not followed, as a success; its body is not the file.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        fail(QStringLiteral("Error transferring %1 - server replied: %2")
                 .arg(reply->url().toString(), reason));
        return;
    }

    // Qt 5 can take a connection closed right after the first packet for the end of the body
    // and report no error. The Content-Length (which Qt drops for compressed bodies) tells, and
    // the fault is reported in the words Qt uses when it notices it itself.
    const QByteArray rest = reply->readAll();
    const QVariant contentLength = reply->header(QNetworkRequest::ContentLengthHeader);
    if (contentLength.isValid() && contentLength.toLongLong() != receivedBytes + rest.size()) {
        fail(QStringLiteral("Connection closed"));
        return;
    }

    if (!writeChunk(rest))
        return;
    outputFile->close();
    emit finished();
}

void FileDownloader::partialDataReady()
{
    const quint64 contentLength =
        currentReply->header(QNetworkRequest::ContentLengthHeader).toULongLong();
    if (contentLength != 0)
        totalBytes = static_cast<qint64>(contentLength);

    receivedBytes += currentReply->bytesAvailable();
    emit downloadProgress(static_cast<quint64>(receivedBytes), static_cast<quint64>(totalBytes));

    writeChunk(currentReply->readAll());
}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    totalBytes = bytesTotal;
}
