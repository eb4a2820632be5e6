#include "net/filedownloader.h"
#include "testhttpserver.h"

#include <QSslConfiguration>
#include <QtTest>

#include <algorithm>
#include <limits>

namespace {

constexpr quint64 unknownTotal = std::numeric_limits<quint64>::max();

QByteArray randomBytes(int size)
{
    QVector<quint32> words(size / 4);
    QRandomGenerator(size).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QByteArrayList split(const QByteArray &bytes, int partSize)
{
    QByteArrayList parts;
    for (int at = 0; at < bytes.size(); at += partSize)
        parts.append(bytes.mid(at, partSize));
    return parts;
}

// `head` is the status and any header lines, without the blank line that ends them.
QByteArray response(const QByteArray &head, const QByteArray &body)
{
    return "HTTP/1.1 " + head + "\r\n\r\n" + body;
}

QByteArray withLength(const QByteArray &head, const QByteArray &body)
{
    return response(head + "\r\nContent-Length: " + QByteArray::number(body.size()), body);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// One download and the signals it sent.
struct Download
{
    FileDownloader downloader;
    QSignalSpy errors{&downloader, &FileDownloader::errorOccurred};
    QSignalSpy finished{&downloader, &FileDownloader::finished};
    QString filePath = QStringLiteral("untouched");
    QString error;

    bool start(const QString &url, const QString &directory)
    {
        return downloader.download(url, directory, filePath, error);
    }
};

} // namespace

class tst_FileDownloader : public QObject
{
    Q_OBJECT

private slots:
    void success_data();
    void success();
    void serverFailure_data();
    void serverFailure();
    void refused_data();
    void refused();
    void failedWriteEndsDownloadOnce();
    void fromNginxOverTls();

private:
    const QByteArray body = randomBytes(256 * 1024);
};

void tst_FileDownloader::success_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<quint64>("expectedTotal");

    QByteArray chunks;
    for (const QByteArray &chunk : split(body, body.size() / 8))
        chunks += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    QTest::newRow("content-length") << withLength("200 OK", body) << quint64(body.size());
    QTest::newRow("no content-length, ends at close")
        << response("200 OK\r\nConnection: close", body) << unknownTotal;
    QTest::newRow("chunked") << response("200 OK\r\nTransfer-Encoding: chunked",
                                         chunks + "0\r\n\r\n")
                             << unknownTotal;
}

void tst_FileDownloader::success()
{
    QFETCH(QByteArray, answer);
    QFETCH(quint64, expectedTotal);

    // Pauses longer than Qt's 100 ms progress interval, so that Qt reports the unknown total.
    TestHttpServer server(split(answer, answer.size() / 8), 150);
    QTemporaryDir temporary;
    // Longer than the body, so that whatever is not truncated shows.
    QVERIFY(writeFile(temporary.path() + "/update pack.zip", QByteArray(body.size() * 2, 'o')));

    Download download;
    QList<quint64> received{0};
    QList<quint64> totals;
    QList<quint64> sizesOnDisk;
    connect(&download.downloader, &FileDownloader::downloadProgress, this,
            [&](quint64 bytes, quint64 total) {
                received << bytes;
                totals << total;
                sizesOnDisk << QFileInfo(download.filePath).size();
            });
    bool openAtFinish = false;
    connect(&download.downloader, &FileDownloader::finished, this, [&] {
        const QString target = QFileInfo(download.filePath).canonicalFilePath();
        for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
            openAtFinish = openAtFinish || fd.symLinkTarget() == target;
    });

    QVERIFY(download.start(server.url("/files/update%20pack.zip?x=1"), temporary.path()));
    QCOMPARE(download.filePath, temporary.path() + "/update pack.zip");
    QVERIFY(download.finished.wait());
    QCOMPARE(download.finished.count(), 1);
    QCOMPARE(download.errors.count(), 0);
    QVERIFY(!openAtFinish);
    QCOMPARE(readFile(download.filePath), body);

    // Each report comes before its chunk is written, so the file then holds the previous count.
    QCOMPARE(sizesOnDisk, received.mid(0, received.size() - 1));
    QCOMPARE(received.last(), quint64(body.size()));
    // A Content-Length gives the total from the start; without one it is 0 until Qt's own first
    // report, which says -1 for unknown.
    QCOMPARE(totals.first(), expectedTotal == unknownTotal ? 0 : expectedTotal);
    QCOMPARE(totals.last(), expectedTotal);
    QCOMPARE(totals.count(0) + totals.count(expectedTotal), totals.size());
    QVERIFY(std::is_sorted(totals.begin(), totals.end()));
}

void tst_FileDownloader::serverFailure_data()
{
    QTest::addColumn<QByteArrayList>("parts");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("404") << QByteArrayList{withLength("404 Not Found", "not found")}
                         << "Error transferring %1 - server replied: Not Found";
    QTest::newRow("500") << QByteArrayList{withLength("500 Internal Server Error", {})}
                         << "Error transferring %1 - server replied: Internal Server Error";
    QTest::newRow("301 with a body")
        << QByteArrayList{withLength("301 Moved Permanently\r\nLocation: /elsewhere", "moved")}
        << "Error transferring %1 - server replied: Moved Permanently";
    QTest::newRow("closed after the first packet, short of the content-length")
        << QByteArrayList{response("200 OK\r\nContent-Length: 1000", QByteArray(400, 'x'))}
        << "Connection closed";
    // Without a length only Qt can tell, and it does once a second packet came before the close.
    QTest::newRow("closed mid-chunk")
        << QByteArrayList{response("200 OK\r\nTransfer-Encoding: chunked",
                                   "100\r\n" + QByteArray(40, 'x')),
                          QByteArray(40, 'y')}
        << "Connection closed";
    QTest::newRow("connection refused") << QByteArrayList() << "Connection refused";
}

void tst_FileDownloader::serverFailure()
{
    QFETCH(QByteArrayList, parts);
    QFETCH(QString, expectedError);

    // Qt 5 takes a close straight after the first packet for the end of the body in about half
    // of the attempts and then reports no error, so every case runs often enough to meet both. It
    // does so only while events are handled as they come: a polling wait hides it.
    QTemporaryDir temporary;
    for (int attempt = 0; attempt < 10; ++attempt) {
        TestHttpServer server(parts, 50);
        const QString url = server.url("/update.zip");
        if (parts.isEmpty())
            server.close();
        Download download;
        QVERIFY(download.start(url, temporary.path()));
        QVERIFY(download.errors.wait());
        QCOMPARE(download.errors.count(), 1);
        QCOMPARE(download.errors.first().first().toString(),
                 QString(expectedError).replace("%1", url));
        QCOMPARE(download.finished.count(), 0);
    }
}

void tst_FileDownloader::refused_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedFilePath");
    QTest::addColumn<QString>("expectedError");
    const auto row = [](const char *name, const QString &directory, const QString &path,
                        const QString &filePath, const QString &error) {
        QTest::newRow(name) << directory << path << filePath << error;
    };

    // The temporary directory's path replaces "%T" in every column.
    row("directory under a regular file", "%T/dir/file/sub", "/update.zip", "untouched",
        "The directory %T/dir/file/sub is not accessible.");
    row("URL ends in a slash", "%T/dir", "/updates/", "%T/dir/",
        "Failed to create %T/dir/ (Is a directory).");
    row("name taken by a directory, %2 in the name", "%T/dir", "/x%252.zip", "%T/dir/x%2.zip",
        "Failed to create %T/dir/x%2.zip (Is a directory).");
    const QString notPlain = QStringLiteral("Failed to create %1 (not a plain file name).");
    row("dot", "%T/dir", "/a/%2E", "%T/dir/.", notPlain.arg("%T/dir/."));
    row("dot-dot", "%T/dir", "/a/..", "%T/dir/..", notPlain.arg("%T/dir/.."));
    row("backslash", "%T/dir", "/a%5Cb.zip", "%T/dir/a\\b.zip", notPlain.arg("%T/dir/a\\b.zip"));
}

void tst_FileDownloader::refused()
{
    QFETCH(QString, directory);
    QFETCH(QString, path);
    QFETCH(QString, expectedFilePath);
    QFETCH(QString, expectedError);

    QTemporaryDir temporary;
    QVERIFY(QDir(temporary.path()).mkpath("dir/x%2.zip") &&
            writeFile(temporary.path() + "/dir/file", {}));
    Download download;
    QVERIFY(
        !download.start("http://127.0.0.1:1" + path, directory.replace("%T", temporary.path())));
    QCOMPARE(download.error, expectedError.replace("%T", temporary.path()));
    QCOMPARE(download.filePath, expectedFilePath.replace("%T", temporary.path()));
    QCOMPARE(QDir(temporary.path() + "/dir").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"file", "x%2.zip"}));
    QCoreApplication::processEvents();
    QCOMPARE(download.errors.count() + download.finished.count(), 0);
}

void tst_FileDownloader::failedWriteEndsDownloadOnce()
{
    TestHttpServer server(split(withLength("200 OK", QByteArray(16 << 20, 'x')), 64 * 1024), 0);
    QTemporaryDir temporary;
    QVERIFY(QFile::link("/dev/full", temporary.path() + "/update.zip"));

    Download download;
    // The window shows an error in a message box, whose nested event loop goes on delivering the
    // events of a reply only scheduled for deletion; this loop lasts until the connection is gone.
    bool closed = false;
    connect(&download.downloader, &FileDownloader::errorOccurred, this, [&] {
        QSignalSpy disconnected(server.findChild<QTcpSocket *>(), &QTcpSocket::disconnected);
        closed = disconnected.wait(10000);
    });

    QVERIFY(download.start(server.url("/update.zip"), temporary.path()));
    QTRY_COMPARE(download.errors.count(), 1);
    QCOMPARE(download.errors.first().first().toString(), "I/O failure (No space left on device)");
    QCOMPARE(download.finished.count(), 0);
    QVERIFY(closed);
}

void tst_FileDownloader::fromNginxOverTls()
{
    // Every file nginx reads or writes lies in the temporary directory.
    QTemporaryDir root;
    QProcess openssl;
    openssl.setWorkingDirectory(root.path());
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                   "-keyout", "key.pem", "-out", "certificate.pem"});
    // QProcess's destructor kills a process that outlives the wait.
    QVERIFY2(openssl.waitForFinished(60000) && openssl.exitCode() == 0,
             openssl.readAllStandardError().constData());

    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(probe.serverPort());
    probe.close();
    const QString configuration =
        QStringLiteral(
            "daemon off; master_process off; pid %1/nginx.pid; events {} http { access_log off;\n"
            "client_body_temp_path %1/t; proxy_temp_path %1/t; fastcgi_temp_path %1/t;\n"
            "uwsgi_temp_path %1/t; scgi_temp_path %1/t; server { listen 127.0.0.1:%2 ssl;\n"
            "root %1; ssl_certificate %1/certificate.pem; ssl_certificate_key %1/key.pem; } }\n")
            .arg(root.path(), port);
    QVERIFY(writeFile(root.path() + "/update.zip", body) &&
            writeFile(root.path() + "/nginx.conf", configuration.toUtf8()));
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start("/usr/sbin/nginx",
                {"-p", root.path(), "-c", root.path() + "/nginx.conf", "-e", "stderr"});
    const auto stopNginx = qScopeGuard([&nginx] {
        nginx.kill();
        nginx.waitForFinished(10000);
    });
    // nginx writes its pid file once it listens.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root.path() + "/nginx.pid"), 10000);

    const QString url = "https://127.0.0.1:" + port + "/update.zip";
    Download untrusted;
    QVERIFY(untrusted.start(url, root.path() + "/untrusted"));
    QVERIFY(untrusted.errors.wait());
    QCOMPARE(untrusted.errors.first().first().toString(), "SSL handshake failed");
    QCOMPARE(untrusted.finished.count(), 0);

    const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
    const auto restoreDefault =
        qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(systemDefault); });
    QSslConfiguration trusting = systemDefault;
    trusting.addCaCertificates(root.path() + "/certificate.pem");
    QSslConfiguration::setDefaultConfiguration(trusting);
    Download trusted;
    QVERIFY(trusted.start(url, root.path() + "/missing/directories"));
    QVERIFY(trusted.finished.wait());
    QCOMPARE(readFile(root.path() + "/missing/directories/update.zip"), body);
}

QTEST_GUILESS_MAIN(tst_FileDownloader)
#include "tst_filedownloader.moc"
