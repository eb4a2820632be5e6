#include "net/filedownloader.h"

#include "platform/nativeapi.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTimer>
#include <QVariant>

namespace {

// Qt's network thread keeps whatever it receives in the reply until the reply is read. On a
// fast link the GUI thread falls behind and, without a limit, that buffer grows to the size of
// the file; with one, the network thread stops reading the socket until the buffer drains.
// Larger buffers bought no speed on a loopback gigabyte and cost several times their own size in
// resident memory, as Qt holds copies on both threads.
constexpr qint64 readBufferSize = 2 * 1024 * 1024;

// As many as electron-updater follows; a release page in front of a CDN takes two or three.
constexpr int maxRedirects = 10;

bool isPlainFileName(const QString &fileName)
{
    // A backslash separates folders on Windows, so a name holding one would leave the directory.
    return fileName != QLatin1String(".") && fileName != QLatin1String("..") &&
           !fileName.contains(QLatin1Char('\\'));
}

// Failures of the connection, which the next attempt may well not meet. Qt 5 reports a proxy it
// can't reach as it does a server, or as an unknown network error; its codes for proxies are
// retried alike. An HTTP status, a TLS failure or a failed write would be the same answer again.
bool isNetworkFailure(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

// What the user reads when an answer is not the file. Qt's own texts name the URL with its
// fragment, 64 hex digits of the digest nobody can use, and speak of redirects and proxies in
// terms of its own.
QString refusal(const QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    switch (reply->error()) {
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("The server redirected the download more than %1 times.")
            .arg(maxRedirects);
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("The server redirected the download from HTTPS to HTTP.");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("The proxy server requires a user name and password.");
    default:
        break;
    }
    if (status != 0 && (status < 200 || status > 299))
        return QStringLiteral("Error transferring %1 - server replied: %2")
            .arg(reply->url().toString(QUrl::RemoveFragment),
                 reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    return reply->errorString();
}

// The proxy the system is set up with: on Windows the user's Internet settings as WinHTTP reads
// them (a named proxy, an automatic configuration script, the bypass list), else the machine's
// WinHTTP proxy; elsewhere http_proxy, https_proxy and no_proxy. Asked for every request, so that
// a changed setting applies to the next attempt. Given to our own manager, so that the
// process-wide proxy stays as it was.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        // As Qt's process-wide factory does: a loopback host is never reached through a proxy.
        const QString host = query.peerHostName();
        if (host == QLatin1String("localhost") || host.startsWith(QLatin1String("localhost.")) ||
            QHostAddress(host).isLoopback())
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

// The URL's fragment, which is never sent, may carry the digest the product published. A
// name=value fragment that is not a SHA-256 digest is refused rather than skipped, so that a
// check the product asked for is never silently dropped; a fragment without '=' is no digest.
bool readDigest(const QString &url, QByteArray &digest, QString &error)
{
    const int hash = url.indexOf(QLatin1Char('#'));
    const QString fragment = hash < 0 ? QString() : url.mid(hash + 1);
    if (!fragment.contains(QLatin1Char('=')))
        return true;
    static const QRegularExpression sha256(
        QRegularExpression::anchoredPattern(QStringLiteral("sha256=[0-9A-Fa-f]{64}")));
    if (!sha256.match(fragment).hasMatch()) {
        error = QStringLiteral("Unsupported digest: %1").arg(fragment);
        return false;
    }
    digest = QByteArray::fromHex(fragment.mid(fragment.indexOf(QLatin1Char('=')) + 1).toLatin1());
    return true;
}

} // namespace

FileDownloader::FileDownloader(QObject *parent) : QObject(parent), retryTimer(new QTimer(this))
{
    // A child timer: deleting the downloader during a delay leaves no request to be sent.
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &FileDownloader::sendRequest);
}

FileDownloader::~FileDownloader()
{
    unlockFile();
}

void FileDownloader::setStallTimeout(int milliseconds)
{
    stallMilliseconds = milliseconds;
}

void FileDownloader::setRetryPolicy(int maxRetries, int firstDelayMilliseconds)
{
    this->maxRetries = maxRetries;
    firstRetryDelay = firstDelayMilliseconds;
}

QVector<int> FileDownloader::retryDelays() const
{
    QVector<int> delays;
    for (int retry = 0; retry < maxRetries; ++retry)
        delays.append(firstRetryDelay << retry);
    return delays;
}

bool FileDownloader::download(QString url, QString directory, QString &filePath, QString &error)
{
    release();

    expectedDigest.clear();
    if (!readDigest(url, expectedDigest, error))
        return false;

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
    // for the chunk that caused it instead of at a later flush. Not truncated yet: the file may
    // be another instance's download.
    if (!outputFile->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        error = failedToCreate.arg(filePath, outputFile->errorString());
        release();
        return false;
    }
    std::string lockError;
    switch (nativeapi::lockFile(filePath.toStdString(), fileLock, lockError)) {
    case nativeapi::LockResult::Locked:
        break;
    case nativeapi::LockResult::Busy:
        error = QStringLiteral("Another update is already downloading %1.").arg(filePath);
        release();
        return false;
    case nativeapi::LockResult::Failed:
        error = failedToCreate.arg(filePath, QString::fromStdString(lockError));
        release();
        return false;
    }
    // A device such as /dev/full can't be resized, and has nothing to cut.
    if (outputFile->size() > 0 && !outputFile->resize(0)) {
        error = failedToCreate.arg(filePath, outputFile->errorString());
        release();
        return false;
    }

    return startRequest(url);
}

bool FileDownloader::startRequest(QString url)
{
    networkManager = new QNetworkAccessManager(this);
    networkManager->setProxyFactory(new SystemProxyFactory);
    connect(networkManager, &QNetworkAccessManager::finished, this, &FileDownloader::dataReady);

    requestUrl = QUrl(url, QUrl::TolerantMode);
    totalBytes = 0;
    receivedBytes = 0;
    retriesDone = 0;
    validator.clear();
    digest.reset();
    sendRequest();
    return true;
}

void FileDownloader::sendRequest()
{
    // Without the server's word that a range continues this very file, the file starts over.
    if (receivedBytes > 0 && validator.isEmpty() && !restartFile())
        return;

    QNetworkRequest request(requestUrl);
    request.setSslConfiguration(QSslConfiguration::defaultConfiguration());
    // Qt 5 waits for ever by default. The time counts from the request's start, so a server
    // that accepts the connection and never answers stalls as well.
    request.setTransferTimeout(stallMilliseconds);
    // The file as stored. Qt 5 asks for gzip and deflate on its own and drops the Content-Length
    // of a body it decompresses, so a compressed answer cut short would pass for whole and could
    // not be resumed. Asked for in our name, nothing is decompressed.
    request.setRawHeader("Accept-Encoding", "identity");
    // Release pages and CDNs answer a stable URL with a redirect to where the file is. Qt refuses
    // a step from HTTPS down to HTTP before it sends anything there. Each attempt starts from the
    // product's URL again, and a redirect carries the Range on.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    attemptStart = receivedBytes;
    if (attemptStart > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(attemptStart) + '-');
        // A server whose file changed since sends all of the new one instead of a range.
        request.setRawHeader("If-Range", validator);
    }
    responseAccepted = false;

    currentReply = networkManager->get(request);
    currentReply->setReadBufferSize(readBufferSize);
    connect(currentReply, &QIODevice::readyRead, this, &FileDownloader::partialDataReady);
    connect(currentReply, &QNetworkReply::downloadProgress, this,
            &FileDownloader::on_download_progress);
}

bool FileDownloader::acceptResponse()
{
    responseAccepted = true;
    const QVariant status = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt 5 reports a status it does not follow, such as a 300 or a 304, as a success, and hands
    // over the body of an HTTP error before the error. No status outside 2xx is the file, so its
    // body never reaches it.
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        fail(refusal(currentReply));
        return false;
    }

    if (attemptStart > 0 && status.toInt() != 200) {
        if (continuesFile())
            return true;
        fail(QStringLiteral("The server did not send the rest of the file that was cut off."));
        return false;
    }
    if (attemptStart > 0 && !restartFile())
        return false;

    // This answer starts the file, and what it says about ranges holds for the retries. The
    // complete length must be known, to check that a range ends where the file does.
    const QByteArray etag = currentReply->rawHeader("ETag");
    const QVariant length = currentReply->header(QNetworkRequest::ContentLengthHeader);
    validator =
        etag.isEmpty() || etag.startsWith("W/") ? currentReply->rawHeader("Last-Modified") : etag;
    completeLength = length.toLongLong();
    if (currentReply->rawHeader("Accept-Ranges") != "bytes" || !length.isValid())
        validator.clear();
    return true;
}

bool FileDownloader::continuesFile() const
{
    // Exactly the rest of the same file, or the two halves would be spliced into neither.
    const QByteArray rest = "bytes " + QByteArray::number(attemptStart) + '-' +
                            QByteArray::number(completeLength - 1) + '/' +
                            QByteArray::number(completeLength);
    const QByteArray etag = currentReply->rawHeader("ETag");
    return currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206 &&
           currentReply->rawHeader("Content-Range") == rest &&
           (etag.isEmpty() || !validator.startsWith('"') || etag == validator);
}

bool FileDownloader::restartFile()
{
    receivedBytes = 0;
    attemptStart = 0;
    digest.reset();
    // resize() also moves the write position back to the start.
    if (outputFile->resize(0))
        return true;
    fail(QStringLiteral("I/O failure (%1)").arg(outputFile->errorString()));
    return false;
}

void FileDownloader::retryOrFail(const QString &error)
{
    const QVector<int> delays = retryDelays();
    if (retriesDone >= delays.size()) {
        fail(error);
        return;
    }
    // The finished reply goes; the file stays open for the next attempt.
    currentReply->disconnect(this);
    currentReply->deleteLater();
    currentReply = nullptr;
    retryTimer->start(delays.at(retriesDone++));
}

void FileDownloader::release()
{
    retryTimer->stop();
    if (networkManager) {
        networkManager->disconnect(this);
        networkManager->deleteLater();
        networkManager = nullptr;
    }
    if (currentReply) {
        // The receiver of errorOccurred may run a nested event loop, in which a reply that is
        // only scheduled for deletion would go on receiving. Disconnected first, so that abort()
        // does not report its own cancellation. One refused for its status is left alone: Qt
        // reports that status after an abort too, and warns about the second error.
        currentReply->disconnect(this);
        if (currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 300)
            currentReply->abort();
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    if (outputFile) {
        outputFile->deleteLater();
        outputFile = nullptr;
    }
    unlockFile();
}

void FileDownloader::unlockFile()
{
    nativeapi::closeFile(fileLock);
    fileLock = nativeapi::noFile;
}

bool FileDownloader::writeChunk(const QByteArray &chunk)
{
    // A short count is a failure too: it is how a full disk shows on the chunk that filled it.
    if (outputFile->write(chunk) == chunk.size()) {
        // Hashed as written, so the digest covers exactly the bytes in the file.
        if (!expectedDigest.isEmpty())
            digest.addData(chunk);
        return true;
    }
    fail(QStringLiteral("I/O failure (%1)").arg(outputFile->errorString()));
    return false;
}

void FileDownloader::fail(const QString &error)
{
    // Released before the signal, whose receiver may run a nested event loop.
    release();
    emit errorOccurred(error);
}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        // Only the stall timeout cancels a reply we still listen to, and Qt's text for it reads
        // as if the user had cancelled.
        retryOrFail(QStringLiteral("The server stopped sending data."));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        if (isNetworkFailure(reply->error()))
            retryOrFail(reply->errorString());
        else
            fail(refusal(reply));
        return;
    }
    if (!responseAccepted && !acceptResponse())
        return;

    // Qt 5 can take a connection closed right after the first packet for the end of the body
    // and report no error. The Content-Length tells, and the fault is reported in the words Qt
    // uses when it notices it itself. For a resumed download it is the length of the range,
    // which began at attemptStart.
    const QByteArray rest = reply->readAll();
    const QVariant contentLength = reply->header(QNetworkRequest::ContentLengthHeader);
    if (contentLength.isValid() &&
        contentLength.toLongLong() != receivedBytes - attemptStart + rest.size()) {
        retryOrFail(QStringLiteral("Connection closed"));
        return;
    }

    if (!writeChunk(rest))
        return;
    outputFile->close();
    if (!expectedDigest.isEmpty() && digest.result() != expectedDigest) {
        outputFile->remove();
        fail(QStringLiteral("The download does not match its published SHA-256 digest."));
        return;
    }
    emit finished();
}

void FileDownloader::partialDataReady()
{
    if (!responseAccepted && !acceptResponse())
        return;

    const quint64 contentLength =
        currentReply->header(QNetworkRequest::ContentLengthHeader).toULongLong();
    if (contentLength != 0)
        totalBytes = attemptStart + static_cast<qint64>(contentLength);

    receivedBytes += currentReply->bytesAvailable();
    emit downloadProgress(static_cast<quint64>(receivedBytes), static_cast<quint64>(totalBytes));

    writeChunk(currentReply->readAll());
}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    // Qt counts this attempt's body alone, and says -1 when it doesn't know its size.
    totalBytes = bytesTotal < 0 ? bytesTotal : attemptStart + bytesTotal;
}
