#include "net/filedownloader.h"
#include "testhttpserver.h"

#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

constexpr quint64 unknownTotal = std::numeric_limits<quint64>::max();

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

QList<QByteArray> split(const QByteArray &bytes, int partSize)
{
    QList<QByteArray> parts;
    for (int at = 0; at < bytes.size(); at += partSize)
        parts.append(bytes.mid(at, partSize));
    return parts;
}

QByteArray chunked(const QList<QByteArray> &chunks)
{
    QByteArray encoded;
    for (const QByteArray &chunk : chunks)
        encoded += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    return encoded + "0\r\n\r\n";
}

QByteArray withLength(const QByteArray &status, const QByteArray &body,
                      const QByteArray &headers = {})
{
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return TestHttpServer::response(status, headers + length, body);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool isOpenInThisProcess(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    QDirIterator descriptors(QStringLiteral("/proc/self/fd"), QDir::System);
    while (descriptors.hasNext()) {
        if (QFileInfo(descriptors.next()).symLinkTarget() == target)
            return true;
    }
    return false;
}

bool runToEnd(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The progress reports of one download, each with the size of the file at that moment.
struct Progress
{
    QList<quint64> received;
    QList<quint64> totals;
    QList<qint64> sizesOnDisk;
};

void recordProgress(FileDownloader &downloader, const QString &filePath, Progress &progress)
{
    QObject::connect(&downloader, &FileDownloader::downloadProgress, &downloader,
                     [&filePath, &progress](quint64 received, quint64 total) {
                         progress.received.append(received);
                         progress.totals.append(total);
                         progress.sizesOnDisk.append(QFileInfo(filePath).size());
                     });
}

} // namespace

class tst_FileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void success_data();
    void success();
    void serverFailure_data();
    void serverFailure();
    void https_data();
    void https();
    void refused_data();
    void refused();
    void decodesNameAndTruncatesExistingFile();
    void bodyCutShortAfterFirstPacket();
    void failedWriteEndsDownloadOnce();
    void fromNginx();

private:
    QTemporaryDir certificates;
    QSslCertificate caCertificate;
    QSslCertificate serverCertificate;
    QSslKey serverKey;
};

void tst_FileDownloader::initTestCase()
{
    QVERIFY(certificates.isValid());
    const QString directory = certificates.path() + "/";
    const QStringList ecKey = {"-newkey", "ec",    "-pkeyopt", "ec_paramgen_curve:prime256v1",
                               "-nodes",  "-days", "2"};
    QProcess openssl;
    openssl.setWorkingDirectory(directory);
    QVERIFY2(runToEnd(openssl, "openssl",
                      QStringList{"req", "-x509", "-subj", "/CN=Larkspur Test CA", "-keyout",
                                  "ca.key", "-out", "ca.pem"} +
                          ecKey),
             openssl.readAllStandardError().constData());
    QVERIFY2(runToEnd(openssl, "openssl",
                      QStringList{"req", "-x509", "-CA", "ca.pem", "-CAkey", "ca.key", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                  "-keyout", "server.key", "-out", "server.pem"} +
                          ecKey),
             openssl.readAllStandardError().constData());

    caCertificate = QSslCertificate::fromPath(directory + "ca.pem").value(0);
    serverCertificate = QSslCertificate::fromPath(directory + "server.pem").value(0);
    QFile keyFile(directory + "server.key");
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    serverKey = QSslKey(&keyFile, QSsl::Ec);
    QVERIFY(!caCertificate.isNull() && !serverCertificate.isNull() && !serverKey.isNull());
}

void tst_FileDownloader::success_data()
{
    QTest::addColumn<QList<QByteArray>>("parts");
    QTest::addColumn<int>("pause");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("hasLength");

    const QByteArray body = randomBytes(256 * 1024);
    const int part = body.size() / 4;
    QTest::newRow("content-length, one write")
        << QList<QByteArray>{withLength("200 OK", body)} << 0 << body << true;
    QTest::newRow("content-length, 16 parts")
        << split(withLength("200 OK", body), part / 4) << 10 << body << true;
    QTest::newRow("empty body") << QList<QByteArray>{withLength("200 OK", {})} << 0 << QByteArray()
                                << true;
    // Pauses longer than Qt's 100 ms progress interval, so that Qt reports the unknown total.
    QTest::newRow("no content-length, ends at close")
        << split(TestHttpServer::response("200 OK", "Connection: close\r\n", body), part) << 150
        << body << false;
    QTest::newRow("chunked") << split(TestHttpServer::response("200 OK",
                                                               "Transfer-Encoding: chunked\r\n",
                                                               chunked(split(body, part / 2))),
                                      part)
                             << 150 << body << false;
}

void tst_FileDownloader::success()
{
    QFETCH(QList<QByteArray>, parts);
    QFETCH(int, pause);
    QFETCH(QByteArray, body);
    QFETCH(bool, hasLength);

    TestHttpServer server(parts, pause);
    QTemporaryDir temporary;
    FileDownloader downloader;
    QString filePath;
    Progress progress;
    recordProgress(downloader, filePath, progress);
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);
    bool closedAtFinish = false;
    connect(&downloader, &FileDownloader::finished, this,
            [&] { closedAtFinish = !isOpenInThisProcess(filePath); });

    QString error;
    QVERIFY(downloader.download(server.url("/files/update.zip"), temporary.path() + "/a/b",
                                filePath, error));
    QCOMPARE(filePath, temporary.path() + "/a/b/update.zip");
    QVERIFY(finished.wait());
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 1);
    QVERIFY(closedAtFinish);
    QCOMPARE(readFile(filePath), body);

    // Each report comes before its chunk is written, so the file then holds the previous count.
    quint64 previous = 0;
    for (int i = 0; i < progress.received.size(); ++i) {
        QCOMPARE(quint64(progress.sizesOnDisk.at(i)), previous);
        QVERIFY(progress.received.at(i) > previous);
        previous = progress.received.at(i);
    }
    QCOMPARE(previous, quint64(body.size()));

    if (hasLength) {
        for (quint64 total : progress.totals)
            QCOMPARE(total, quint64(body.size()));
        return;
    }
    QVERIFY(progress.totals.size() > 1);
    QCOMPARE(progress.totals.first(), quint64(0));
    QCOMPARE(progress.totals.last(), unknownTotal);
    for (int i = 1; i < progress.totals.size(); ++i)
        QVERIFY(progress.totals.at(i) == unknownTotal || progress.totals.at(i - 1) == 0);
}

void tst_FileDownloader::serverFailure_data()
{
    QTest::addColumn<QList<QByteArray>>("parts");
    QTest::addColumn<QString>("expectedError");

    const QString replied = QStringLiteral("Error transferring %1 - server replied: %2");
    const QByteArray moved = "Location: /elsewhere/update.zip\r\n";
    QTest::newRow("404") << QList<QByteArray>{withLength("404 Not Found", "not found")}
                         << replied.arg("%1", "Not Found");
    QTest::newRow("500") << QList<QByteArray>{withLength("500 Internal Server Error", {})}
                         << replied.arg("%1", "Internal Server Error");
    QTest::newRow("301 with a body")
        << QList<QByteArray>{withLength("301 Moved Permanently", "moved", moved)}
        << replied.arg("%1", "Moved Permanently");
    QTest::newRow("302") << QList<QByteArray>{withLength("302 Found", {}, moved)}
                         << replied.arg("%1", "Found");
    // Each close follows a second packet: a close straight after the first one is a case of its
    // own (bodyCutShortAfterFirstPacket).
    QTest::newRow("closed before the content-length")
        << QList<QByteArray>{TestHttpServer::response("200 OK", "Content-Length: 1000\r\n",
                                                      QByteArray(400, 'x')),
                             QByteArray(40, 'y')}
        << "Connection closed";
    QTest::newRow("closed mid-chunk")
        << QList<QByteArray>{TestHttpServer::response("200 OK", "Transfer-Encoding: chunked\r\n",
                                                      "100\r\n" + QByteArray(40, 'x')),
                             QByteArray(40, 'y')}
        << "Connection closed";
    QTest::newRow("connection refused") << QList<QByteArray>() << "Connection refused";
}

void tst_FileDownloader::serverFailure()
{
    QFETCH(QList<QByteArray>, parts);
    QFETCH(QString, expectedError);

    TestHttpServer server(parts, 50);
    const QString url = server.url("/update.zip");
    if (parts.isEmpty())
        server.close();
    QTemporaryDir temporary;
    FileDownloader downloader;
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);

    QString filePath;
    QString error;
    QVERIFY(downloader.download(url, temporary.path(), filePath, error));
    QVERIFY(errors.wait());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), expectedError.replace("%1", url));
    QCOMPARE(finished.count(), 0);
}

void tst_FileDownloader::https_data()
{
    QTest::addColumn<bool>("trustTestCa");
    QTest::newRow("certificate not trusted") << false;
    QTest::newRow("test CA trusted by default") << true;
}

void tst_FileDownloader::https()
{
    QFETCH(bool, trustTestCa);

    const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
    const auto restoreDefault =
        qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(systemDefault); });
    if (trustTestCa) {
        QSslConfiguration trusting = systemDefault;
        trusting.addCaCertificate(caCertificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }

    const QByteArray body = randomBytes(100000);
    TestHttpServer server({withLength("200 OK", body)});
    server.useTls(serverCertificate, serverKey);
    QTemporaryDir temporary;
    FileDownloader downloader;
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);

    QString filePath;
    QString error;
    QVERIFY(downloader.download(server.url("/update.zip"), temporary.path(), filePath, error));
    QTRY_COMPARE(errors.count() + finished.count(), 1);
    if (trustTestCa) {
        QCOMPARE(finished.count(), 1);
        QCOMPARE(readFile(filePath), body);
    } else {
        QCOMPARE(errors.first().first().toString(), "SSL handshake failed");
    }
}

void tst_FileDownloader::refused_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedFilePath");
    QTest::addColumn<QString>("expectedError");

    // The temporary directory's path replaces "%T" in every column.
    QTest::newRow("directory under a regular file")
        << "%T/file/sub"
        << "/update.zip"
        << "untouched"
        << "The directory %T/file/sub is not accessible.";
    QTest::newRow("URL ends in a slash") << "%T/dir"
                                         << "/updates/"
                                         << "%T/dir/"
                                         << "Failed to create %T/dir/ (Is a directory).";
    QTest::newRow("name taken by a directory, %2 in the name")
        << "%T/dir"
        << "/x%252.zip"
        << "%T/dir/x%2.zip"
        << "Failed to create %T/dir/x%2.zip (Is a directory).";
    const QString notPlain = QStringLiteral("Failed to create %1 (not a plain file name).");
    QTest::newRow("dot") << "%T/dir"
                         << "/a/%2E"
                         << "%T/dir/." << notPlain.arg("%T/dir/.");
    QTest::newRow("dot-dot") << "%T/dir"
                             << "/a/.."
                             << "%T/dir/.." << notPlain.arg("%T/dir/..");
    QTest::newRow("backslash") << "%T/dir"
                               << "/a%5Cb.zip"
                               << "%T/dir/a\\b.zip" << notPlain.arg("%T/dir/a\\b.zip");
}

void tst_FileDownloader::refused()
{
    QFETCH(QString, directory);
    QFETCH(QString, path);
    QFETCH(QString, expectedFilePath);
    QFETCH(QString, expectedError);

    QTemporaryDir temporary;
    QVERIFY(QDir(temporary.path()).mkpath("dir/x%2.zip"));
    QFile file(temporary.path() + "/file");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    FileDownloader downloader;
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);
    QString filePath = "untouched";
    QString error;
    QVERIFY(!downloader.download("http://127.0.0.1:1" + path,
                                 directory.replace("%T", temporary.path()), filePath, error));
    QCOMPARE(error, expectedError.replace("%T", temporary.path()));
    QCOMPARE(filePath, expectedFilePath.replace("%T", temporary.path()));
    QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"dir", "file"}));
    QCOMPARE(QDir(temporary.path() + "/dir").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList("x%2.zip"));
    QCoreApplication::processEvents();
    QCOMPARE(errors.count() + finished.count(), 0);
}

void tst_FileDownloader::decodesNameAndTruncatesExistingFile()
{
    TestHttpServer server({withLength("200 OK", "new")});
    QTemporaryDir temporary;
    QFile existing(temporary.path() + "/update pack.zip");
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write(QByteArray(5000, 'o'));
    existing.close();

    FileDownloader downloader;
    QSignalSpy finished(&downloader, &FileDownloader::finished);
    QString filePath;
    QString error;
    QVERIFY(downloader.download(server.url("/update%20pack.zip?x=1"), temporary.path(), filePath,
                                error));
    QCOMPARE(filePath, temporary.path() + "/update pack.zip");
    QVERIFY(finished.wait());
    QCOMPARE(readFile(filePath), QByteArray("new"));
}

void tst_FileDownloader::bodyCutShortAfterFirstPacket()
{
    // When the server closes the connection straight after its first packet, Qt 5 takes the
    // close for the end of the body in about half of the attempts and reports no error.
    const QByteArray cutShort =
        TestHttpServer::response("200 OK", "Content-Length: 1000\r\n", QByteArray(400, 'x'));
    for (int attempt = 0; attempt < 10; ++attempt) {
        TestHttpServer server({cutShort}, 50);
        QTemporaryDir temporary;
        FileDownloader downloader;
        QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
        QSignalSpy finished(&downloader, &FileDownloader::finished);
        QString filePath;
        QString error;
        QVERIFY(downloader.download(server.url("/update.zip"), temporary.path(), filePath, error));
        QVERIFY(errors.wait());
        QCOMPARE(errors.first().first().toString(), "Connection closed");
        QCOMPARE(finished.count(), 0);
    }
}

void tst_FileDownloader::failedWriteEndsDownloadOnce()
{
    const QByteArray body(16 * 1024 * 1024, 'x');
    TestHttpServer server(split(withLength("200 OK", body), 64 * 1024));
    QTemporaryDir temporary;
    QVERIFY(QFile::link("/dev/full", temporary.path() + "/update.zip"));

    FileDownloader downloader;
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);
    // The window answers an error with a message box, whose nested event loop goes on
    // delivering the events of a reply that is only scheduled for deletion.
    QEventLoop messageBox;
    QTimer::singleShot(10000, &messageBox, &QEventLoop::quit);
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);
    connect(&server, &TestHttpServer::connectionClosed, &messageBox, &QEventLoop::quit);
    connect(&downloader, &FileDownloader::errorOccurred, &messageBox, [&messageBox] {
        if (!messageBox.isRunning())
            messageBox.exec();
    });

    QString filePath;
    QString error;
    QVERIFY(downloader.download(server.url("/update.zip"), temporary.path(), filePath, error));
    QVERIFY(errors.wait());
    QCOMPARE(errors.first().first().toString(), "I/O failure (No space left on device)");
    QCOMPARE(errors.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(closed.count(), 1);
}

void tst_FileDownloader::fromNginx()
{
    QTemporaryDir root;
    const QByteArray body = randomBytes(3 * 1024 * 1024);
    QVERIFY(QDir(root.path()).mkpath("www") && QDir(root.path()).mkpath("temp"));
    QFile served(root.path() + "/www/update.zip");
    QVERIFY(served.open(QIODevice::WriteOnly) && served.write(body) == body.size());
    served.close();

    const quint16 port = freePort();
    QFile configuration(root.path() + "/nginx.conf");
    QVERIFY(configuration.open(QIODevice::WriteOnly));
    const QString temp = root.path() + "/temp";
    configuration.write(QStringLiteral("daemon off; master_process off; pid %1/nginx.pid;\n"
                                       "events {}\n"
                                       "http { access_log off; client_body_temp_path %2;\n"
                                       "  proxy_temp_path %2; fastcgi_temp_path %2;\n"
                                       "  uwsgi_temp_path %2; scgi_temp_path %2;\n"
                                       "  server { listen 127.0.0.1:%3; root %1/www; } }\n")
                            .arg(root.path(), temp, QString::number(port))
                            .toUtf8());
    configuration.close();

    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start("/usr/sbin/nginx", {"-p", root.path(), "-c", configuration.fileName(), "-e",
                                    root.path() + "/error.log"});
    QVERIFY2(nginx.waitForStarted(10000), qPrintable(nginx.errorString()));
    const auto stopNginx = qScopeGuard([&nginx] {
        nginx.kill();
        nginx.waitForFinished(10000);
    });
    // nginx writes its pid file once it listens.
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(root.path() + "/nginx.pid") || nginx.state() != QProcess::Running, 10000);
    QVERIFY2(nginx.state() == QProcess::Running, readFile(root.path() + "/error.log").constData());

    FileDownloader downloader;
    Progress progress;
    QString filePath;
    recordProgress(downloader, filePath, progress);
    QSignalSpy errors(&downloader, &FileDownloader::errorOccurred);
    QSignalSpy finished(&downloader, &FileDownloader::finished);
    QString error;
    QVERIFY(downloader.download(QStringLiteral("http://127.0.0.1:%1/update.zip").arg(port),
                                root.path() + "/downloads", filePath, error));
    QTRY_COMPARE_WITH_TIMEOUT(errors.count() + finished.count(), 1, 30000);
    QCOMPARE(finished.count(), 1);
    QVERIFY(readFile(filePath) == body);
    QCOMPARE(progress.received.last(), quint64(body.size()));
    QCOMPARE(progress.totals.last(), quint64(body.size()));
}

QTEST_GUILESS_MAIN(tst_FileDownloader)
#include "tst_filedownloader.moc"
