#include "programrun.h"
#include "testdisplay.h"
#include "toolrun.h"
#include "updateserver.h"

#include "tests/zipfixture.h"

#include <QtTest>

namespace {

const QString installedLog = QStringLiteral("argument /VERYSILENT\n"
                                            "argument /SP-\n"
                                            "lock descriptors 0\n"
                                            "finished\n");
const QString boxTitle = QStringLiteral("Larkspur Installer");
const QString windowTitle = QStringLiteral("Installing update...");

QByteArray fakeInstaller()
{
    QFile file(QStringLiteral(LARKSPUR_FAKE_INSTALLER_PATH));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The bytes of a zip archive holding one deflated entry.
QByteArray zipped(const QString &name, const QByteArray &contents)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("archive.zip"));
    QFile archive(path);
    if (!zipfixture::write(path, {zipfixture::deflated(name, contents)}) ||
        !archive.open(QIODevice::ReadOnly))
        return QByteArray();
    return archive.readAll();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

// 0 when no process holds the update lock, 1 while one does: what a product sees when it asks.
int probeLock()
{
    const ToolResult result =
        runTool(QStringLiteral("flock"),
                {QStringLiteral("--nonblock"), QStringLiteral("--exclusive"),
                 QStringLiteral("/tmp/fernhollow_larkspur_updater_mutex"), QStringLiteral("true")});
    return result.finished ? result.exitCode : -1;
}

} // namespace

// The real program against a real HTTP server, with a native stand-in for the installer.
// Where a person has to answer (a message box, the cancel button, the title bar), it runs on an
// X server of its own and is worked with xdotool; elsewhere it runs offscreen.
class UpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void installs_data();
    void installs();
    void lockIsHeldOnlyWhileDownloading();
    void failures_data();
    void failures();
    void closingDuringDownload_data();
    void closingDuringDownload();

private:
    // Starts the program on the display against an update whose answer stalls halfway, and
    // returns the size of the half it gets, or -1.
    qint64 startStalledDownload(UpdateServer &server, ProgramRun &run);

    TestDisplay display;
    QDir output;
};

void UpdateTest::initTestCase()
{
    QVERIFY(!fakeInstaller().isEmpty());
    QString error;
    QVERIFY2(display.start(error), qPrintable(error));
    output.setPath(QStringLiteral(LARKSPUR_TEST_OUTPUT));
    QVERIFY(output.mkpath(QStringLiteral(".")));
}

qint64 UpdateTest::startStalledDownload(UpdateServer &server, ProgramRun &run)
{
    const QByteArray update = zipped(QStringLiteral("Update.exe"), fakeInstaller());
    QString error;
    if (!server.start(error) || !writeFile(server.folder() + "/Update.zip", update))
        return -1;
    const qint64 half = update.size() / 2;
    const QString url = server.url("Update.zip", QStringLiteral("stall=%1").arg(half));
    return run.start(url, display.name(), error) ? half : -1;
}

void UpdateTest::installs_data()
{
    QTest::addColumn<QString>("servedName");
    QTest::addColumn<QByteArray>("served");

    const QByteArray archive = zipped(QStringLiteral("Update.exe"), fakeInstaller());
    QTest::newRow("zip archive") << "Update.zip" << archive;
    QTest::newRow("zip suffix in capitals") << "Update.ZIP" << archive;
    QTest::newRow("bare installer") << "Setup.exe" << fakeInstaller();
    QTest::newRow("bare installer without suffix") << "Update" << fakeInstaller();
    QTest::newRow("zip before the suffix") << "update.zip.exe" << fakeInstaller();
}

void UpdateTest::installs()
{
    QFETCH(QString, servedName);
    QFETCH(QByteArray, served);

    UpdateServer server;
    QString error;
    QVERIFY2(server.start(error), qPrintable(error));
    QVERIFY(writeFile(server.folder() + QLatin1Char('/') + servedName, served));

    ProgramRun run;
    QVERIFY2(run.start(server.url(servedName), QString(), error), qPrintable(error));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), installedLog, 20000);
    QCOMPARE(run.leftovers(), QStringList());

    // The bar starts empty, moves in thousandths never below 30, and ends full.
    const QList<QJsonObject> progress = run.probeRecords(QStringLiteral("progress"));
    QVERIFY(progress.size() >= 2);
    QCOMPARE(progress.first().value("value").toInt(), 0);
    QCOMPARE(progress.last().value("value").toInt(), 1000);
    for (int index = 1; index < progress.size(); ++index)
        QVERIFY(progress[index].value("value").toInt() >= 30);
}

void UpdateTest::lockIsHeldOnlyWhileDownloading()
{
    UpdateServer server;
    ProgramRun run;
    run.holdInstaller();
    const qint64 half = startStalledDownload(server, run);
    QVERIFY(half > 0);
    QTRY_COMPARE_WITH_TIMEOUT(fileSize(run.folder() + "/Update.zip"), half, 20000);
    QCOMPARE(probeLock(), 1);

    const QString window = display.findWindow(windowTitle);
    QVERIFY(!window.isEmpty());
    QVERIFY(display.screenshot(window, output.filePath(QStringLiteral("downloading.png"))));

    QVERIFY(server.release());
    QTRY_VERIFY_WITH_TIMEOUT(run.installerLog().contains("lock descriptors"), 20000);
    // The installer is still at work, and holds no share of the lock.
    QCOMPARE(probeLock(), 0);
    QVERIFY(!run.installerLog().contains("finished"));

    run.releaseInstaller();
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), installedLog, 20000);
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.leftovers(), QStringList());
}

void UpdateTest::failures_data()
{
    QTest::addColumn<QString>("servedName");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QStringList>("expectedLeftovers");
    QTest::addColumn<bool>("clickToDismiss");

    // Nothing served is answered with 404. {url} and {folder} stand for the update's URL and the
    // program's folder.
    QTest::newRow("server answers 404")
        << "Missing.zip" << QByteArray()
        << "Failed to update.\n\nError transferring {url} - server replied: Not Found"
        << QStringList{"Missing.zip"} << false;
    QTest::newRow("archive without the installer")
        << "Update.zip" << zipped("Readme.txt", "no installer here")
        << "Failed to update.\n\nError code 3 (-100)." << QStringList() << true;
    QTest::newRow("not a zip archive but named like one")
        << "Update.zip" << QByteArray("plain text") << "Failed to update.\n\nError code 1."
        << QStringList{"Update.zip"} << false;
    QTest::newRow("installer that can't be started")
        << "Update.zip" << zipped("Update.exe", "neither a program nor a script")
        << "Failed to start the installer.\n\n{folder}/Update.exe" << QStringList() << true;
}

void UpdateTest::failures()
{
    QFETCH(QString, servedName);
    QFETCH(QByteArray, served);
    QFETCH(QString, expectedText);
    QFETCH(QStringList, expectedLeftovers);
    QFETCH(bool, clickToDismiss);

    UpdateServer server;
    QString error;
    QVERIFY2(server.start(error), qPrintable(error));
    if (!served.isEmpty())
        QVERIFY(writeFile(server.folder() + QLatin1Char('/') + servedName, served));

    ProgramRun run;
    const QString url = server.url(servedName);
    QVERIFY2(run.start(url, display.name(), error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(!run.probeRecords(QStringLiteral("box")).isEmpty(), 20000);
    const QString box = display.findWindow(boxTitle);
    QVERIFY(!box.isEmpty());
    const QString screenshot =
        QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^a-z0-9]+"), "-");
    QVERIFY(display.screenshot(QStringLiteral("root"), output.filePath(screenshot + ".png")));

    const QJsonObject shown = run.probeRecords(QStringLiteral("box")).first();
    QCOMPARE(shown.value("title").toString(), boxTitle);
    QCOMPARE(shown.value("text").toString(),
             QString(expectedText).replace("{url}", url).replace("{folder}", run.folder()));
    QCOMPARE(shown.value("buttons").toArray(), QJsonArray{"CLOSE"});

    if (clickToDismiss)
        QVERIFY(display.click(box, shown.value("buttonCenterX").toInt(),
                              shown.value("buttonCenterY").toInt()));
    else
        QVERIFY(display.pressKey(box, QStringLiteral("Return")));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.probeRecords(QStringLiteral("box")).size(), 1);
    QCOMPARE(run.leftovers(), expectedLeftovers);
}

void UpdateTest::closingDuringDownload_data()
{
    QTest::addColumn<bool>("cancelButton");
    QTest::addColumn<QStringList>("expectedLeftovers");

    QTest::newRow("cancel button removes the download") << true << QStringList();
    // Closed by other means, the window removes nothing.
    QTest::newRow("title bar close") << false << QStringList{"Update.zip"};
}

void UpdateTest::closingDuringDownload()
{
    QFETCH(bool, cancelButton);
    QFETCH(QStringList, expectedLeftovers);

    UpdateServer server;
    ProgramRun run;
    const qint64 half = startStalledDownload(server, run);
    QVERIFY(half > 0);
    QTRY_COMPARE_WITH_TIMEOUT(fileSize(run.folder() + "/Update.zip"), half, 20000);
    const QString window = display.findWindow(windowTitle);
    QVERIFY(!window.isEmpty());
    // The middle of the "CANCEL UPDATE" button, which sits at (361, 90), 171 by 32.
    QVERIFY(cancelButton ? display.click(window, 446, 106) : display.closeFromTitleBar(window));

    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.leftovers(), expectedLeftovers);
    QVERIFY(run.installerLog().isEmpty());
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
