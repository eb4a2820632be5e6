#include "archive/unzipper.h"
#include "fuzz/extractioninvariant.h"
#include "zipfixture.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using zipfixture::Entry;

class TestUnzipper : public QObject
{
    Q_OBJECT

private slots:
    void openArchive_data();
    void openArchive();
    void callOrder();
    void extractFile_data();
    void extractFile();
    void destinationFailure_data();
    void destinationFailure();
    void nonAsciiFolder();
    void realWorldArchive_data();
    void realWorldArchive();
    void fuzzInput_data();
    void fuzzInput();

private:
    // Every archive also holds good.txt, so that a test can show the archive is still usable.
    QString archive(QVector<Entry> entries);
    static QByteArray contents(const QString &path);

    QTemporaryDir fixtures;
    int archiveCount = 0;
    const QByteArray good = "still open\n";
    const QByteArray large = zipfixture::sample(600000);
    const QByteArray small = "#!/bin/sh\necho installing\n";
};

QString TestUnzipper::archive(QVector<Entry> entries)
{
    entries.append(zipfixture::deflated(QStringLiteral("good.txt"), good));
    const QString path = fixtures.filePath(QStringLiteral("%1.zip").arg(++archiveCount));
    if (!zipfixture::write(path, entries))
        qFatal("can't write %s", qPrintable(path));
    return path;
}

QByteArray TestUnzipper::contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestUnzipper::openArchive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("opens");
    QTest::newRow("missing file") << QByteArray() << false;
    QTest::newRow("not a zip") << QByteArray("MZ\x90\0 not an archive") << false;
    QTest::newRow("empty archive, 22 bytes")
        << QByteArray("PK\5\6", 4) + QByteArray(18, '\0') << false;
    QTest::newRow("archive") << contents(archive({})) << true;
}

void TestUnzipper::openArchive()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opens);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("update.zip"));
    if (!bytes.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    Unzipper unzipper;
    QString error = QStringLiteral("untouched");
    QCOMPARE(unzipper.openArchive(path, error), opens);
    QCOMPARE(error, opens ? QStringLiteral("untouched") : QStringLiteral("Error code 1."));
}

void TestUnzipper::callOrder()
{
    QTemporaryDir out;
    const QString path = archive({zipfixture::stored(QStringLiteral("setup.exe"), small)});
    Unzipper unzipper;
    QString error;
    QVERIFY(!unzipper.extractFile(QStringLiteral("good.txt"), out.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));

    QVERIFY(unzipper.openArchive(path, error));
    QVERIFY(unzipper.extractFile(QStringLiteral("good.txt"), out.path(), error));
    QVERIFY(unzipper.extractFile(QStringLiteral("setup.exe"), out.path(), error));
    QCOMPARE(contents(out.filePath(QStringLiteral("good.txt"))), good);
    QCOMPARE(contents(out.filePath(QStringLiteral("setup.exe"))), small);

    // The failed second open has already given up the first archive.
    QVERIFY(!unzipper.openArchive(path + QStringLiteral(".missing"), error));
    QVERIFY(!unzipper.extractFile(QStringLiteral("good.txt"), out.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));

    QVERIFY(unzipper.openArchive(path, error));
    unzipper.closeArchive();
    unzipper.closeArchive();
    QVERIFY(!unzipper.extractFile(QStringLiteral("good.txt"), out.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
}

void TestUnzipper::extractFile_data()
{
    using namespace zipfixture;
    QTest::addColumn<QString>("archivePath");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("outputExists");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<QByteArray>("expected");

    const QString setup = QStringLiteral("setup.exe");
    const QByteArray head = large.left(100000);
    QTest::newRow("deflated, three chunks")
        << archive({deflated(setup, large)}) << setup << false << QString() << large;
    QTest::newRow("stored") << archive({stored(setup, small)}) << setup << false << QString()
                            << small;
    QTest::newRow("declared size 0")
        << archive({stored(setup, {})}) << setup << false << QString() << QByteArray("");
    QTest::newRow("existing output overwritten")
        << archive({deflated(setup, small)}) << setup << true << QString() << small;
    QTest::newRow("name found with a-z folded")
        << archive({deflated(QStringLiteral("SETUP.EXE"), small)}) << setup << false << QString()
        << small;

    QTest::newRow("name no entry bears")
        << archive({deflated(QStringLiteral("other.exe"), small)}) << setup << false
        << QStringLiteral("Error code 3 (-100).") << QByteArray();
    QTest::newRow("stored below a folder")
        << archive({deflated(QStringLiteral("bin/setup.exe"), small)}) << setup << false
        << QStringLiteral("Error code 3 (-100).") << QByteArray();
    // The second bytes of Ä and ä differ in bit 5 alone, like A and a.
    QTest::newRow("letters beyond a-z not folded")
        << archive({deflated(QStringLiteral("ÄPFEL.EXE"), small)}) << QStringLiteral("äpfel.exe")
        << false << QStringLiteral("Error code 3 (-100).") << QByteArray();
    QTest::newRow("name of 256 UTF-8 bytes")
        << archive({}) << QString(128, QChar(0xe9)) << false
        << QStringLiteral("Error code 3 (-102).") << QByteArray();

    QTest::newRow("LZMA, method 14")
        << archive({raw(setup, small, 14, small.size(), crc(small))}) << setup << false
        << QStringLiteral("Error code 4 (-103).") << QByteArray();
    QTest::newRow("bzip2, method 12")
        << archive({raw(setup, small, 12, small.size(), crc(small))}) << setup << false
        << QStringLiteral("Error code 4 (-103).") << QByteArray();
    QTest::newRow("corrupt deflate data")
        << archive({raw(setup, QByteArray(64, '\xff'), 8, 5000, 0)}) << setup << true
        << QStringLiteral("Error code 6.") << QByteArray();
    QTest::newRow("CRC mismatch, existing output")
        << archive({raw(setup, deflate(large), 8, large.size(), crc(large) ^ 1)}) << setup << true
        << QStringLiteral("Error code 6.") << QByteArray();
    QTest::newRow("data ends a chunk early")
        << archive({raw(setup, head, 0, 600000, crc(large))}) << setup << false
        << QStringLiteral("Error code 7 (75712") << QByteArray();
    QTest::newRow("data ends in the last chunk")
        << archive({raw(setup, head, 0, 300000, crc(large.left(300000)))}) << setup << false
        << QStringLiteral("Error code 7 (200000") << QByteArray();
    QTest::newRow("deflate stream ends early")
        << archive({raw(setup, deflate(head), 8, 300000, crc(large.left(300000)))}) << setup << true
        << QStringLiteral("Error code 7 (200000") << QByteArray();
}

void TestUnzipper::extractFile()
{
    QFETCH(QString, archivePath);
    QFETCH(QString, name);
    QFETCH(bool, outputExists);
    QFETCH(QString, expectedError);
    QFETCH(QByteArray, expected);
    QTemporaryDir out;
    const QString outputPath = out.filePath(name);
    if (outputExists) {
        QFile stale(outputPath);
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(large + large) > 0);
    }
    Unzipper unzipper;
    QString error = QStringLiteral("untouched");
    QVERIFY(unzipper.openArchive(archivePath, error));
    const bool extracted = unzipper.extractFile(name, out.path(), error);
    QCOMPARE(error, expectedError.isNull() ? QStringLiteral("untouched") : expectedError);
    QCOMPARE(extracted, expectedError.isNull());
    if (extracted) {
        QCOMPARE(contents(outputPath), expected);
        return;
    }
    QVERIFY(!QFileInfo::exists(outputPath));
    QVERIFY(unzipper.extractFile(QStringLiteral("good.txt"), out.path(), error));
}

void TestUnzipper::destinationFailure_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("obstacleIsFile");
    QTest::addColumn<int>("fileSizeLimit");
    QTest::addColumn<int>("entrySize");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("output path is a directory")
        << "out"
        << "out/setup.exe" << false << 0 << 600000 << "Failed to create {output} (Is a directory).";
    QTest::newRow("path holding a placeholder") << "out%2"
                                                << "out%2/setup.exe" << false << 0 << 600000
                                                << "Failed to create {output} (Is a directory).";
    QTest::newRow("directory below a regular file")
        << "blocker/out"
        << "blocker" << true << 0 << 600000 << "The directory {directory} is not accessible.";
    QTest::newRow("file size limit at a chunk boundary")
        << "out" << QString() << false << 262144 << 600000 << "Error code 8 (File too large)";
    QTest::newRow("file size limit inside a chunk")
        << "out" << QString() << false << 100000 << 600000 << "Error code 8 (File too large)";
    // Small enough for a buffered QFile to hold back until it is closed.
    QTest::newRow("file size limit, small entry")
        << "out" << QString() << false << 1000 << 5000 << "Error code 8 (File too large)";
}

void TestUnzipper::destinationFailure()
{
    QFETCH(QString, directory);
    QFETCH(QString, obstacle);
    QFETCH(bool, obstacleIsFile);
    QFETCH(int, fileSizeLimit);
    QFETCH(int, entrySize);
    QFETCH(QString, expectedError);
    QTemporaryDir root;
    const QString directoryPath = root.filePath(directory);
    const QString outputPath = directoryPath + QStringLiteral("/setup.exe");
    if (obstacleIsFile)
        QVERIFY(QFile(root.filePath(obstacle)).open(QIODevice::WriteOnly));
    else if (!obstacle.isEmpty())
        QVERIFY(QDir(root.path()).mkpath(obstacle));
    const bool outputWasThere = QFileInfo::exists(outputPath);
    const QString archivePath =
        archive({zipfixture::deflated(QStringLiteral("setup.exe"), large.left(entrySize))});

    rlimit previousLimit{};
    getrlimit(RLIMIT_FSIZE, &previousLimit);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const auto restore = qScopeGuard([&] {
        setrlimit(RLIMIT_FSIZE, &previousLimit);
        std::signal(SIGXFSZ, previousHandler);
    });
    if (fileSizeLimit > 0) {
        rlimit limit = previousLimit;
        limit.rlim_cur = static_cast<rlim_t>(fileSizeLimit);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }

    Unzipper unzipper;
    QString error;
    QVERIFY(unzipper.openArchive(archivePath, error));
    QVERIFY(!unzipper.extractFile(QStringLiteral("setup.exe"), directoryPath, error));
    QCOMPARE(error, expectedError.replace(QStringLiteral("{output}"), outputPath)
                        .replace(QStringLiteral("{directory}"), directoryPath));
    QCOMPARE(QFileInfo::exists(outputPath), outputWasThere);
}

void TestUnzipper::nonAsciiFolder()
{
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("Mises à jour 更新"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/update.zip");
    QVERIFY(QFile::copy(archive({zipfixture::deflated(QStringLiteral("setup.exe"), small)}), path));
    Unzipper unzipper;
    QString error;
    QVERIFY2(unzipper.openArchive(path, error), qPrintable(error));
    QVERIFY2(unzipper.extractFile(QStringLiteral("setup.exe"), folder, error), qPrintable(error));
    QCOMPARE(contents(folder + QStringLiteral("/setup.exe")), small);
}

void TestUnzipper::realWorldArchive_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("extracts");

    QTest::newRow("Info-ZIP zip") << "zip"
                                  << "zip -q archive.zip setup.exe" << true;
    QTest::newRow("Info-ZIP zip, encrypted") << "zip"
                                             << "zip -q -P secret archive.zip setup.exe" << false;
    // minizip 1.1 on LP64 never reads the zip64 sizes this writes into the directory record.
    QTest::newRow("Info-ZIP zip64 records") << "zip"
                                            << "zip -q -fz archive.zip setup.exe" << false;
    QTest::newRow("7-Zip") << "7z"
                           << "7z a -tzip -bd -bso0 archive.zip setup.exe" << true;
    QTest::newRow("7-Zip, bzip2") << "7z"
                                  << "7z a -tzip -mm=BZip2 -bd -bso0 archive.zip setup.exe"
                                  << false;
    QTest::newRow("bsdtar") << "bsdtar"
                            << "bsdtar -a -cf archive.zip setup.exe" << true;
    // A pipe can't seek, so zipfile writes the sizes after the data in a data descriptor.
    QTest::newRow("Python zipfile, data descriptor")
        << "python3"
        << "python3 -c \"import sys, zipfile\n"
           "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
           "    z.write('setup.exe')\" | cat > archive.zip"
        << true;
    QTest::newRow("Python zipfile, zip64 records")
        << "python3"
        << "python3 -c \"import zipfile\n"
           "with zipfile.ZipFile('archive.zip', 'w', zipfile.ZIP_DEFLATED) as z, \\\n"
           "        z.open('setup.exe', 'w', force_zip64=True) as entry:\n"
           "    entry.write(open('setup.exe', 'rb').read())\""
        << true;
}

void TestUnzipper::realWorldArchive()
{
    QFETCH(QString, tool);
    QFETCH(QString, command);
    QFETCH(bool, extracts);
    if (QStandardPaths::findExecutable(tool).isEmpty())
        QSKIP(qPrintable(tool + QStringLiteral(" is not installed")));
    QTemporaryDir work;
    QFile input(work.filePath(QStringLiteral("setup.exe")));
    QVERIFY(input.open(QIODevice::WriteOnly) && input.write(large) == large.size());
    input.close();
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        QFAIL("the archiver did not finish in time");
    }
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());

    QTemporaryDir out;
    Unzipper unzipper;
    QString error;
    QVERIFY(unzipper.openArchive(work.filePath(QStringLiteral("archive.zip")), error));
    QVERIFY2(unzipper.extractFile(QStringLiteral("setup.exe"), out.path(), error) == extracts,
             qPrintable(error));
    const QString outputPath = out.filePath(QStringLiteral("setup.exe"));
    if (extracts)
        QCOMPARE(contents(outputPath), large);
    else
        QVERIFY(!QFileInfo::exists(outputPath));
}

void TestUnzipper::fuzzInput_data()
{
    QTest::addColumn<QString>("path");
    for (const QString &folder : {QStringLiteral("corpus"), QStringLiteral("regressions")}) {
        const QDir directory(QStringLiteral(LARKSPUR_FUZZ_DIR "/") + folder);
        for (const QFileInfo &file : directory.entryInfoList(QDir::Files, QDir::Name)) {
            const QString row = folder + QLatin1Char('/') + file.fileName();
            QTest::newRow(qPrintable(row)) << file.filePath();
        }
    }
}

// The inputs the fuzzer started from and every one it broke the extractor with, replayed.
void TestUnzipper::fuzzInput()
{
    QFETCH(QString, path);
    QTemporaryDir out;
    QString failure;
    QVERIFY2(extractionInvariantHolds(path, QStringLiteral("setup.exe"), out.path(), failure),
             qPrintable(failure));
}

QTEST_GUILESS_MAIN(TestUnzipper)
#include "tst_unzipper.moc"
