#include "archive/unzipper.h"
#include "fuzz/extractioninvariant.h"
#include "testsupport.h"
#include "zipfixture.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(zipfixture::Entry)

class TestUnzipper : public QObject
{
    Q_OBJECT

private slots:
    void extractFile_data();
    void extractFile();
    void archiverOutput_data();
    void archiverOutput();
};

void TestUnzipper::extractFile_data()
{
    QTest::addColumn<zipfixture::Entry>("entry");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<int>("fileSizeLimit");
    QTest::addColumn<QString>("expectedError");
    // Half noise, which deflate keeps in stored blocks, half text, which it really compresses.
    QByteArray large(300000, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
    large += QByteArray("echo installing\n").repeated(18750);
    const QByteArray head = large.left(100000);
    const auto row = [](const char *name, const zipfixture::Entry &entry, const char *obstacle,
                        int fileSizeLimit, const char *expectedError) {
        QTest::newRow(name) << entry << obstacle << fileSizeLimit << expectedError;
    };
    // An obstacle is a file, or a folder where it ends in "/", in the way before extraction.
    row("deflated over a longer file", {"setup.exe", large}, "{output}", 0, "");
    row("corrupt deflate data over a file", {"setup.exe", QByteArray(64, '\xff'), 8, true, 5000},
        "{output}", 0, "Error code 6.");
    row("CRC mismatch", {"setup.exe", large, 0, true, 600000, 0x12345678}, "", 0, "Error code 6.");
    row("data ends a chunk early", {"setup.exe", head, 0, true, 600000}, "", 0,
        "Error code 7 (75712");
    row("output path is a folder", {"setup.exe", head}, "{output}/", 0,
        "Failed to create {output} (Is a directory).");
    // With SIGXFSZ ignored, a write past the limit fails for real, with EFBIG.
    row("file size limit inside a chunk", {"setup.exe", large}, "", 100000,
        "Error code 8 (File too large)");
    // Small enough for a buffered file to hold back until it is closed.
    row("file size limit, small entry", {"setup.exe", head.left(5000)}, "", 1000,
        "Error code 8 (File too large)");
}

void TestUnzipper::extractFile()
{
    QFETCH(zipfixture::Entry, entry);
    QFETCH(QString, obstacle);
    QFETCH(int, fileSizeLimit);
    QFETCH(QString, expectedError);
    // The archive's path reaches minizip in UTF-8.
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/mise à jour-XXXXXX"));
    const QString archivePath = root.filePath(QStringLiteral("update.zip"));
    QVERIFY(writeFile(archivePath, zipfixture::zipped({entry})));
    // The folder's name holds a placeholder that an error text must keep as it is.
    const QString folder = root.filePath(QStringLiteral("更新 %2"));
    const QString outputPath = folder + QStringLiteral("/setup.exe");
    obstacle.replace("{output}", outputPath);
    expectedError.replace("{output}", outputPath);
    if (!obstacle.isEmpty())
        QVERIFY(QDir().mkpath(QFileInfo(obstacle).path()) &&
                (obstacle.endsWith('/') || writeFile(obstacle, entry.bytes + entry.bytes)));

    Unzipper unzipper;
    QString error;
    QVERIFY(unzipper.openArchive(archivePath, error));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    const rlimit limit{fileSizeLimit ? rlim_t(fileSizeLimit) : unlimited.rlim_cur,
                       unlimited.rlim_max};
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool extracted = unzipper.extractFile(QStringLiteral("setup.exe"), folder, error);
    setrlimit(RLIMIT_FSIZE, &unlimited);

    QCOMPARE(error, expectedError);
    QCOMPARE(extracted, expectedError.isEmpty());
    // A failure leaves no file behind, not even the one that was there before.
    QCOMPARE(readFile(outputPath), extracted ? entry.bytes : QByteArray());
}

void TestUnzipper::archiverOutput_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedError");
    // The fuzzer's seeds were written by the archivers users have, and all must extract but
    // these. The inputs that once broke the extractor need only keep its promise.
    const QHash<QString, QString> failing{
        {"zip-encrypted.zip", "Error code 4 (-103)."},
        {"7z-bzip2.zip", "Error code 4 (-103)."},
        // minizip 1.1 on LP64 never reads the sizes Info-ZIP writes into zip64 records.
        {"zip-zip64.zip", "Error code 7 ("}};
    for (const QString folder : {"corpus", "regressions"}) {
        const QDir directory(QFINDTESTDATA("fuzz/" + folder));
        for (const QFileInfo &file : directory.entryInfoList(QDir::Files, QDir::Name))
            QTest::addRow("%s/%s", qPrintable(folder), qPrintable(file.fileName()))
                << file.filePath()
                << (folder == "corpus" ? failing.value(file.fileName(), "") : QString());
    }
}

void TestUnzipper::archiverOutput()
{
    QFETCH(QString, path);
    QFETCH(QString, expectedError);
    QTemporaryDir out;
    QString outcome;
    QVERIFY2(extractionInvariantHolds(path, out.path(), outcome), qPrintable(outcome));
    if (!expectedError.isNull())
        QVERIFY2(expectedError.isEmpty() ? outcome.isEmpty() : outcome.startsWith(expectedError),
                 qPrintable(outcome));
}

QTEST_GUILESS_MAIN(TestUnzipper)
#include "tst_unzipper.moc"
