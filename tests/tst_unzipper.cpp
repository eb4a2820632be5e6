#include "archive/unzipper.h"
#include "fuzz/extractioninvariant.h"
#include "zipfixture.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using zipfixture::Entry;
Q_DECLARE_METATYPE(Entry)

namespace {

// Half noise, which deflate keeps in stored blocks, half text, which it really compresses.
QByteArray sample()
{
    QByteArray noise(300000, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    return (noise + QByteArray("echo installing\n").repeated(20000)).left(600000);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestUnzipper : public QObject
{
    Q_OBJECT

private slots:
    void openArchive_data();
    void openArchive();
    void extractFile_data();
    void extractFile();
    void realWorldArchive_data();
    void realWorldArchive();
    void fuzzInput_data();
    void fuzzInput();

private:
    QString archive(const QVector<Entry> &entries);

    // The archives' paths reach minizip in UTF-8.
    QTemporaryDir fixtures{QDir::tempPath() + QStringLiteral("/mise à jour-XXXXXX")};
    int archiveCount = 0;
    const QByteArray good = "still open\n";
    const QByteArray large = sample();
    const QByteArray small = "#!/bin/sh\necho installing\n";
};

// Every archive starts with good.txt: extracted after the entry under test, it shows that the
// archive is still usable and that each lookup starts from the first entry.
QString TestUnzipper::archive(const QVector<Entry> &entries)
{
    const QString path = fixtures.filePath(QStringLiteral("%1.zip").arg(++archiveCount));
    if (!zipfixture::write(path, QVector<Entry>{zipfixture::deflated("good.txt", good)} + entries))
        qFatal("can't write %s", qPrintable(path));
    return path;
}

void TestUnzipper::openArchive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not a zip") << QByteArray("MZ not an archive");
    QTest::newRow("empty archive, 22 bytes") << QByteArray("PK\5\6", 4) + QByteArray(18, '\0');
}

void TestUnzipper::openArchive()
{
    QFETCH(QByteArray, bytes);
    const QString path = fixtures.filePath(QString::fromUtf8(QTest::currentDataTag()));
    QVERIFY(bytes.isNull() || writeFile(path, bytes));
    Unzipper unzipper;
    QString error;
    QVERIFY(!unzipper.extractFile(QStringLiteral("good.txt"), fixtures.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
    QVERIFY(unzipper.openArchive(archive({}), error));
    QVERIFY(!unzipper.openArchive(path, error));
    QCOMPARE(error, QStringLiteral("Error code 1."));
    // The failed open has already given up the first archive.
    QVERIFY(!unzipper.extractFile(QStringLiteral("good.txt"), fixtures.path(), error));
    QCOMPARE(error, QStringLiteral("Error code 2."));
}

void TestUnzipper::extractFile_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<int>("fileSizeLimit");
    QTest::addColumn<QString>("name");
    const auto row = [](const char *tag, const Entry &entry, const QString &expectedError,
                        const QString &obstacle = {}, int fileSizeLimit = 0,
                        const QString &name = QStringLiteral("setup.exe")) {
        QTest::newRow(tag) << entry << expectedError << obstacle << fileSizeLimit << name;
    };
    const QByteArray head = large.left(100000);
    row("declared size 0", {"setup.exe", {}, 0}, {});
    row("stored over an existing output", {"setup.exe", small, 0}, {}, "output exists");
    row("name found with a-z folded", {"SETUP.EXE", small}, {});

    row("name no entry bears", {"other.exe", small}, "Error code 3 (-100).");
    row("stored below a folder", {"bin/setup.exe", small}, "Error code 3 (-100).");
    // The second bytes of Ä and ä differ in bit 5 alone, like A and a.
    row("letters beyond a-z not folded", {"ÄPFEL.EXE", small}, "Error code 3 (-100).", {}, 0,
        "äpfel.exe");
    row("name of 256 UTF-8 bytes", {"setup.exe", small}, "Error code 3 (-102).", {}, 0,
        QString(128, QChar(0xe9)));
    row("corrupt deflate data, existing output",
        {"setup.exe", QByteArray(64, '\xff'), 8, true, 5000}, "Error code 6.", "output exists");
    row("CRC mismatch", {"setup.exe", large, 0, true, 600000, 0x12345678}, "Error code 6.");
    row("data ends a chunk early", {"setup.exe", head, 0, true, 600000}, "Error code 7 (75712");
    row("data ends in the last chunk", {"setup.exe", head, 0, true, 300000},
        "Error code 7 (200000");

    // The folder's name holds a placeholder that an error text must keep as it is.
    row("output path is a folder", {"setup.exe", small},
        "Failed to create {output} (Is a directory).", "output is a folder");
    row("folder is a regular file", {"setup.exe", small},
        "The directory {folder} is not accessible.", "folder is a file");
    row("file size limit inside a chunk", {"setup.exe", large}, "Error code 8 (File too large)", {},
        100000);
    // Small enough for a buffered QFile to hold back until it is closed.
    row("file size limit, small entry", {"setup.exe", large.left(5000)},
        "Error code 8 (File too large)", {}, 1000);
}

void TestUnzipper::extractFile()
{
    QFETCH(Entry, entry);
    QFETCH(QString, expectedError);
    QFETCH(QString, obstacle);
    QFETCH(int, fileSizeLimit);
    QFETCH(QString, name);
    Unzipper unzipper;
    QString error = QStringLiteral("untouched");
    QVERIFY(unzipper.openArchive(archive({entry}), error));
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("更新 %2"));
    const QString outputPath = folder + QLatin1Char('/') + name;
    if (obstacle == QLatin1String("output exists"))
        QVERIFY(QDir().mkpath(folder) && writeFile(outputPath, large + large));
    else if (obstacle == QLatin1String("output is a folder"))
        QVERIFY(QDir().mkpath(outputPath));
    else if (obstacle == QLatin1String("folder is a file"))
        QVERIFY(writeFile(folder, {}));

    // With SIGXFSZ ignored, a write past the limit fails for real, with EFBIG.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previousLimit{};
    getrlimit(RLIMIT_FSIZE, &previousLimit);
    const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &previousLimit); });
    rlimit limit = previousLimit;
    if (fileSizeLimit > 0)
        limit.rlim_cur = static_cast<rlim_t>(fileSizeLimit);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);

    const bool extracted = unzipper.extractFile(name, folder, error);
    expectedError.replace("{output}", outputPath).replace("{folder}", folder);
    QCOMPARE(error, expectedError.isEmpty() ? QStringLiteral("untouched") : expectedError);
    QCOMPARE(extracted, expectedError.isEmpty());
    QCOMPARE(QFileInfo(outputPath).isFile(), extracted);
    if (extracted)
        QCOMPARE(contents(outputPath), entry.bytes);
    QVERIFY(unzipper.extractFile(QStringLiteral("good.txt"), root.path(), error));
    QCOMPARE(contents(root.filePath(QStringLiteral("good.txt"))), good);
}

void TestUnzipper::realWorldArchive_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expectedError");
    const QString refused = QStringLiteral("Error code 4 (-103).");
    QTest::newRow("Info-ZIP zip") << "zip -q archive.zip setup.exe" << QString();
    QTest::newRow("Info-ZIP zip, encrypted") << "zip -q -P secret archive.zip setup.exe" << refused;
    // minizip 1.1 on LP64 never reads the zip64 sizes this writes into the directory record, so
    // it reads on for the 32-bit placeholder size until the data runs out.
    QTest::newRow("Info-ZIP zip64 records")
        << "zip -q -fz archive.zip setup.exe" << QStringLiteral("Error code 7 (4293918719");
    QTest::newRow("7-Zip") << "7z a -tzip -bd -bso0 archive.zip setup.exe" << QString();
    QTest::newRow("7-Zip, LZMA, method 14")
        << "7z a -tzip -mm=LZMA -bd -bso0 archive.zip setup.exe" << refused;
    QTest::newRow("7-Zip, bzip2, method 12")
        << "7z a -tzip -mm=BZip2 -bd -bso0 archive.zip setup.exe" << refused;
    QTest::newRow("bsdtar") << "bsdtar -a -cf archive.zip setup.exe" << QString();
    // A pipe can't seek, so zipfile writes the sizes after the data in a data descriptor.
    QTest::newRow("Python zipfile, data descriptor")
        << "python3 -c \"import sys, zipfile\n"
           "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
           "    z.write('setup.exe')\" | cat > archive.zip"
        << QString();
    QTest::newRow("Python zipfile, zip64 records")
        << "python3 -c \"import zipfile\n"
           "with zipfile.ZipFile('archive.zip', 'w', zipfile.ZIP_DEFLATED) as z, \\\n"
           "        z.open('setup.exe', 'w', force_zip64=True) as entry:\n"
           "    entry.write(open('setup.exe', 'rb').read())\""
        << QString();
}

void TestUnzipper::realWorldArchive()
{
    QFETCH(QString, command);
    QFETCH(QString, expectedError);
    QTemporaryDir work;
    QVERIFY(writeFile(work.filePath(QStringLiteral("setup.exe")), large));
    QProcess archiver;
    archiver.setWorkingDirectory(work.path());
    archiver.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    // Past the time limit, the QProcess destructor kills the archiver.
    QVERIFY(archiver.waitForFinished(60000));
    QVERIFY2(archiver.exitCode() == 0, archiver.readAllStandardError().constData());

    const QString outputPath = work.filePath(QStringLiteral("out/setup.exe"));
    Unzipper unzipper;
    QString error;
    QVERIFY(unzipper.openArchive(work.filePath(QStringLiteral("archive.zip")), error));
    const bool extracted =
        unzipper.extractFile(QStringLiteral("setup.exe"), work.filePath("out"), error);
    QCOMPARE(error, expectedError);
    QCOMPARE(extracted, expectedError.isEmpty());
    QCOMPARE(QFileInfo::exists(outputPath), extracted);
    if (extracted)
        QCOMPARE(contents(outputPath), large);
}

void TestUnzipper::fuzzInput_data()
{
    QTest::addColumn<QString>("path");
    for (const QString &folder : {QStringLiteral("corpus"), QStringLiteral("regressions")}) {
        const QDir directory(QStringLiteral(LARKSPUR_FUZZ_DIR "/") + folder);
        for (const QFileInfo &file : directory.entryInfoList(QDir::Files, QDir::Name))
            QTest::addRow("%s/%s", qPrintable(folder), qPrintable(file.fileName()))
                << file.filePath();
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
