#include "net/filedownloader.h"

#include "net/diskspace.h"
#include "net/filenamerule.h"
#include "platform/nativeapi.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTimer>
#include <QVariant>

#include <algorithm>

namespace {

// Qt's network thread keeps whatever it receives in the reply until the reply is read. On a
// fast link the GUI thread falls behind and, without a limit, that buffer grows to the size of
// the file; with one, the network thread stops reading the socket until the buffer drains.
// Larger buffers bought no speed on a loopback gigabyte and cost several times their own size in
// resident memory, as Qt holds copies on both threads.
constexpr qint64 readBufferSize = 2 * 1024 * 1024;

// As many as electron-updater follows; a release page in front of a CDN takes two or three.
constexpr int maxRedirects = 10;

// What a later start may continue from reaches the disk at least this often, so that a power cut
// or a killed program costs at most this much of the download again.
constexpr qint64 checkpointBytes = 8 * 1024 * 1024;

// A kept part is hashed this much at a time between events, so that the window shows and
// CANCEL UPDATE works while a gigabyte is read back.
constexpr qint64 hashPieceBytes = 4 * 1024 * 1024;

// A busy server's Retry-After is waited for up to this long. Beyond it the update ends at once:
// the user would sit before a window that does nothing.
constexpr qint64 longestServerDelay = 60 * 1000;

// Whether another instance holds the lock on a file, as one does on the download it completed
// until its installer has started.
bool lockedByAnother(const QString &path)
{
    nativeapi::FileHandle probe = nativeapi::noFile;
    std::string error;
    const bool busy =
        nativeapi::lockFile(path.toStdString(), probe, error) == nativeapi::LockResult::Busy;
    nativeapi::closeFile(probe);
    return busy;
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

// An HTTP date in its one current form, "Sun, 06 Nov 1994 08:49:37 GMT"; invalid otherwise.
QDateTime httpDate(const QByteArray &text)
{
    QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(text.trimmed()),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    date.setTimeSpec(Qt::UTC);
    return date;
}

// The wait in milliseconds that a busy server (503, 429) asks for with Retry-After, in seconds
// or as a date, which counts from the answer's own Date where it gives one, so that a clock set
// wrong on either side doesn't matter; -1 when it asks for none that can be read.
qint64 serverDelay(const QNetworkReply *reply)
{
    const QByteArray retryAfter = reply->rawHeader("Retry-After").trimmed();
    bool isNumber = false;
    const qint64 seconds = retryAfter.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? -1 : std::min<qint64>(seconds, 24 * 3600) * 1000;
    const QDateTime until = httpDate(retryAfter);
    if (!until.isValid())
        return -1;
    const QDateTime sent = httpDate(reply->rawHeader("Date"));
    return std::max<qint64>(
        0, (sent.isValid() ? sent : QDateTime::currentDateTimeUtc()).msecsTo(until));
}

} // namespace

FileDownloader::FileDownloader(QObject *parent) : QObject(parent), retryTimer(new QTimer(this))
{
    // A child timer: deleting the downloader during a delay leaves no request to be sent.
    retryTimer->setSingleShot(true);
    // A coarse timer may fire a twentieth early, and a server's wait is waited in full.
    retryTimer->setTimerType(Qt::PreciseTimer);
    connect(retryTimer, &QTimer::timeout, this, &FileDownloader::sendRequest);
}

FileDownloader::~FileDownloader()
{
    // Ended midway, as when the window is closed: what arrived is kept for a later start.
    if (outputFile && outputFile->isOpen())
        leave(Partial::Keep);
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

    const QString fileName = QUrl(url, QUrl::TolerantMode).fileName(QUrl::FullyDecoded);
    if (!FileNameRule::accepts(fileName)) {
        error = QStringLiteral("Unsupported file name: %1").arg(fileName);
        return false;
    }
    if (!QDir().mkpath(directory)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(directory);
        return false;
    }
    filePath = directory + QLatin1Char('/') + fileName;

    // Written under a name that nothing runs or loads, which becomes the file's own only once the
    // file is complete and matches its digest: a cut or a stall never leaves a program to start.
    kept = KeptDownload(filePath);
    const QString partPath = kept.path();
    const bool created = !QFile::exists(partPath);
    outputFile = new QFile(partPath, this);
    // One arg() call for both values, so that a "%2" inside the path is not replaced as well.
    const QString failedToCreate = QStringLiteral("Failed to create %1 (%2).");
    // Unbuffered: each chunk reaches the file as it arrives, and a failed write is reported
    // for the chunk that caused it instead of at a later flush. Not cut yet: the file may be
    // another instance's download.
    if (!outputFile->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        error = failedToCreate.arg(partPath, outputFile->errorString());
        release();
        return false;
    }
    std::string lockError;
    nativeapi::LockResult lock = nativeapi::lockFile(partPath.toStdString(), fileLock, lockError);
    // An instance that has just completed this file holds its lock under the final name.
    if (lock == nativeapi::LockResult::Locked && lockedByAnother(filePath)) {
        if (created)
            outputFile->remove();
        lock = nativeapi::LockResult::Busy;
    }
    switch (lock) {
    case nativeapi::LockResult::Locked:
        break;
    case nativeapi::LockResult::Busy:
        error = QStringLiteral("Another update is already downloading %1.").arg(filePath);
        release();
        return false;
    case nativeapi::LockResult::Failed:
        error = failedToCreate.arg(partPath, QString::fromStdString(lockError));
        if (created)
            outputFile->remove();
        release();
        return false;
    }

    // What an earlier start of the same URL kept goes on where its record says the disk holds
    // it; whatever lies beyond may not have reached the disk. Anything else starts over.
    productUrl = QUrl(url, QUrl::TolerantMode).toString(QUrl::RemoveFragment);
    KeptDownload::Record record;
    if (!kept.read(productUrl, outputFile->size(), record))
        record = KeptDownload::Record();
    // A device such as /dev/full can't be resized or moved in, and has nothing to cut.
    if ((outputFile->size() > record.keptLength && !outputFile->resize(record.keptLength)) ||
        (record.keptLength > 0 && !outputFile->seek(record.keptLength))) {
        error = failedToCreate.arg(partPath, outputFile->errorString());
        release();
        return false;
    }
    receivedBytes = record.keptLength;
    recordedBytes = record.keptLength;
    validator = record.validator;
    completeLength = record.completeLength;
    if (receivedBytes == 0)
        kept.forget();

    return startRequest(url);
}

void FileDownloader::cancel()
{
    if (outputFile) {
        outputFile->close();
        kept.remove();
    }
    release();
}

bool FileDownloader::startRequest(QString url)
{
    networkManager = new QNetworkAccessManager(this);
    networkManager->setProxyFactory(new SystemProxyFactory);
    connect(networkManager, &QNetworkAccessManager::finished, this, &FileDownloader::dataReady);

    requestUrl = QUrl(url, QUrl::TolerantMode);
    retriesDone = 0;
    digest.reset();
    totalBytes = receivedBytes > 0 ? completeLength : 0;
    if (receivedBytes == 0) {
        sendRequest();
        return true;
    }
    // The bar starts where the file stands.
    emit downloadProgress(static_cast<quint64>(receivedBytes), static_cast<quint64>(totalBytes));
    if (expectedDigest.isEmpty()) {
        sendRequest();
        return true;
    }
    // The digest covers the whole file: the kept part is read back first.
    outputFile->seek(0);
    QMetaObject::invokeMethod(this, &FileDownloader::hashKeptPart, Qt::QueuedConnection);
    return true;
}

void FileDownloader::hashKeptPart()
{
    // Cancelled, or deleted, meanwhile.
    if (!outputFile)
        return;
    const qint64 size = std::min(hashPieceBytes, receivedBytes - outputFile->pos());
    const QByteArray piece = outputFile->read(size);
    // Shorter now than when it was checked: nothing of it is trusted.
    if (piece.size() != size) {
        if (restartFile())
            sendRequest();
        return;
    }
    digest.addData(piece);
    if (outputFile->pos() < receivedBytes)
        QMetaObject::invokeMethod(this, &FileDownloader::hashKeptPart, Qt::QueuedConnection);
    else
        sendRequest();
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
    // body never reaches it. A busy server is asked again, as after a cut.
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const bool busy = status.toInt() == 503 || status.toInt() == 429;
        const qint64 delay = serverDelay(currentReply);
        if (busy && delay <= longestServerDelay)
            retryOrFail(refusal(currentReply), delay);
        else
            fail(refusal(currentReply), busy ? Partial::Keep : Partial::Remove);
        return false;
    }

    const QVariant length = currentReply->header(QNetworkRequest::ContentLengthHeader);
    const bool continues = attemptStart > 0 && status.toInt() != 200;
    if (continues && !continuesFile()) {
        fail(QStringLiteral("The server did not send the rest of the file that was cut off."));
        return false;
    }
    if (!continues && attemptStart > 0 && !restartFile())
        return false;
    // The length still to come, against the room left for it.
    QString error;
    if (length.isValid() &&
        !DiskSpace::fits(QFileInfo(kept.path()).path(), length.toLongLong(), error)) {
        fail(error, continues ? Partial::Keep : Partial::Remove);
        return false;
    }
    if (continues)
        return true;

    // This answer starts the file, and what it says about ranges holds for the retries. The
    // complete length must be known, to check that a range ends where the file does.
    const QByteArray etag = currentReply->rawHeader("ETag");
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
    recordedBytes = 0;
    attemptStart = 0;
    digest.reset();
    // The record of the part that goes must go first: it would vouch for the new bytes.
    if (!kept.forget()) {
        fail(QStringLiteral("Failed to remove %1.").arg(kept.recordPath()));
        return false;
    }
    // resize() also moves the write position back to the start.
    if (outputFile->resize(0))
        return true;
    fail(QStringLiteral("I/O failure (%1)").arg(outputFile->errorString()));
    return false;
}

void FileDownloader::retryOrFail(const QString &error, qint64 serverDelay)
{
    const QVector<int> delays = retryDelays();
    if (retriesDone >= delays.size()) {
        fail(error, Partial::Keep);
        return;
    }
    // The reply goes; the file stays open for the next attempt, and what it holds is recorded
    // should the program end before then.
    dropReply();
    checkpoint();
    // A server's own wait is waited in full. Ours is shortened by chance, so that many products
    // cut off together don't all come back at the same moment.
    const int scheduled = delays.at(retriesDone++);
    retryTimer->start(serverDelay >= 0
                          ? static_cast<int>(serverDelay)
                          : scheduled - QRandomGenerator::global()->bounded(scheduled / 2 + 1));
}

void FileDownloader::checkpoint()
{
    // Only a download that the server lets continue is worth a record.
    if (validator.isEmpty() || receivedBytes == recordedBytes)
        return;
    if (kept.keep({productUrl, validator, completeLength, receivedBytes}))
        recordedBytes = receivedBytes;
}

void FileDownloader::dropReply()
{
    if (!currentReply)
        return;
    // The receiver of errorOccurred may run a nested event loop, in which a reply that is only
    // scheduled for deletion would go on receiving. Disconnected first, so that abort() does
    // not report its own cancellation, which the manager still does: dataReady() knows the reply
    // no more. One refused for its status is left alone: Qt reports that status after an abort
    // too, and warns about the second error.
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    reply->disconnect(this);
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 300)
        reply->abort();
    reply->deleteLater();
}

void FileDownloader::release()
{
    retryTimer->stop();
    if (networkManager) {
        networkManager->disconnect(this);
        networkManager->deleteLater();
        networkManager = nullptr;
    }
    dropReply();
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
    if (outputFile->write(chunk) != chunk.size()) {
        fail(QStringLiteral("I/O failure (%1)").arg(outputFile->errorString()));
        return false;
    }
    // Hashed as written, so the digest covers exactly the bytes in the file.
    if (!expectedDigest.isEmpty())
        digest.addData(chunk);
    // At each step of the checkpoints' distance; one that failed is tried again at the next.
    if (receivedBytes / checkpointBytes != (receivedBytes - chunk.size()) / checkpointBytes)
        checkpoint();
    return true;
}

void FileDownloader::leave(Partial partial)
{
    // What a later start can continue stays, under its name that nothing runs, with its record;
    // anything else goes, while the file is still locked against other instances. Closed first:
    // Windows removes no file that Qt holds open.
    outputFile->close();
    if (partial == Partial::Keep && receivedBytes > 0 && !validator.isEmpty())
        checkpoint();
    else
        kept.remove();
}

void FileDownloader::fail(const QString &error, Partial partial)
{
    // An answer that is not the file leaves nothing; what the network or a busy server cut short
    // may be kept. Released before the signal, whose receiver may run a nested event loop.
    if (outputFile)
        leave(partial);
    release();
    emit errorOccurred(error);
}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    if (reply != currentReply)
        return;
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        // Only the stall timeout cancels a reply we still listen to, and Qt's text for it reads
        // as if the user had cancelled.
        retryOrFail(QStringLiteral("The server stopped sending data."));
        return;
    }
    // An answer is judged as soon as it has come, even when its body was cut short: a status
    // that is not the file, or a file the disk can't hold, is not worth another attempt.
    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (answered && !responseAccepted && !acceptResponse())
        return;
    if (isNetworkFailure(reply->error())) {
        retryOrFail(reply->errorString());
        return;
    }
    // Any other failure (TLS, a refused redirect, a proxy's demand) is not the network's.
    if (reply->error() != QNetworkReply::NoError) {
        fail(refusal(reply));
        return;
    }

    // Qt 5 can take a connection closed right after the first packet for the end of the body
    // and report no error. The Content-Length tells, and the fault is reported in the words Qt
    // uses when it notices it itself. For a resumed download it is the length of the range,
    // which began at attemptStart; a range without a length of its own ends where the file does.
    const QByteArray rest = reply->readAll();
    const QVariant contentLength = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 expected = contentLength.isValid() ? attemptStart + contentLength.toLongLong()
                            : attemptStart > 0      ? completeLength
                                                    : -1;
    if (expected >= 0 && expected != receivedBytes + rest.size()) {
        retryOrFail(QStringLiteral("Connection closed"));
        return;
    }

    if (!writeChunk(rest))
        return;
    outputFile->close();
    if (!expectedDigest.isEmpty() && digest.result() != expectedDigest) {
        fail(QStringLiteral("The download does not match its published SHA-256 digest."));
        return;
    }
    // The lock moves with the file.
    QString error;
    if (!kept.complete(error)) {
        fail(error);
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
