#include "programrun.h"

#include "tests/zipfixture.h"

#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

const QString startedLog = QStringLiteral("argument /VERYSILENT\n"
                                          "argument /SP-\n"
                                          "lock descriptors 0\n");
const QString boxTitle = QStringLiteral("Larkspur Installer");

// The bytes of a zip archive holding one deflated entry.
QByteArray zipped(const QString &name, const QByteArray &contents)
{
    QTemporaryDir folder;
    QFile archive(folder.filePath("archive.zip"));
    if (!zipfixture::write(archive.fileName(), {zipfixture::deflated(name, contents)}) ||
        !archive.open(QIODevice::ReadOnly))
        return QByteArray();
    return archive.readAll();
}

// Runs a helper program to its end; one that outlives the time limit is killed by its pid.
// Returns the exit code, or -1.
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The id of the visible window with exactly this title, once there is one; empty when none
// appears in time.
QString findWindow(const QString &title)
{
    QByteArray output;
    runTool("xdotool",
            {"search", "--sync", "--onlyvisible", "--name",
             '^' + QRegularExpression::escape(title) + '$'},
            &output);
    return QString::fromLatin1(output).section('\n', 0, 0);
}

// What a product sees when it asks for the update lock without waiting: 1 while a program
// holds it, 0 when none does.
int probeLock()
{
    return runTool("flock",
                   {"--nonblock", "--exclusive", "/tmp/fernhollow_larkspur_updater_mutex", "true"});
}

// What a window manager sends when the close button of a title bar is clicked. The test's
// display has no window manager, so the test sends it itself.
bool closeFromTitleBar(const QString &window)
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    };
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    xcb_generic_error_t *failure = xcb_request_check(
        connection, xcb_send_event_checked(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                                           reinterpret_cast<const char *>(&event)));
    const bool sent = !failure && !xcb_connection_has_error(connection);
    std::free(failure);
    xcb_disconnect(connection);
    return sent;
}

} // namespace

// The real program against a real HTTP server (updateserver.py), with a native stand-in for the
// installer. It runs on an X server of the test's own, with no window manager, where xdotool
// answers for a person.
class UpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void installs_data();
    void installs();
    void lockIsHeldOnlyWhileDownloading();
    void failures_data();
    void failures();
    void closingDuringDownload_data();
    void closingDuringDownload();

private:
    // The URL of a file served with these contents; nothing is served for none.
    QString serve(const QString &name, const QByteArray &contents, const QString &query = {});
    // Starts the program on an update whose answer stalls halfway until the served folder holds
    // a file "release". Returns the program's window once the half has arrived, or empty.
    QString startStalledDownload(ProgramRun &run);
    // The whole screen, cut to the program's windows, into the test's output.
    bool screenshot(const QString &name) const;

    QProcess display;
    QProcess server;
    QTemporaryDir served;
    QString serverUrl;
    QByteArray installer;
    QDir output;
};

void UpdateTest::initTestCase()
{
    QFile file(QStringLiteral(LARKSPUR_FAKE_INSTALLER_PATH));
    QVERIFY(file.open(QIODevice::ReadOnly));
    installer = file.readAll();
    output.setPath(QStringLiteral(LARKSPUR_TEST_OUTPUT));
    QVERIFY(output.mkpath("."));

    // -displayfd picks a free display number and reports it, so a desktop session or another
    // test run never collides with this one. The limits outlast ctest's for the whole test.
    display.start("timeout", {"300", "Xvfb", "-displayfd", "1", "-screen", "0", "800x400x24",
                              "-nolisten", "tcp"});
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start("python3", {LARKSPUR_UPDATE_SERVER_SCRIPT, served.path(), "--lifetime", "300"});
    QTRY_VERIFY_WITH_TIMEOUT(display.canReadLine() && server.canReadLine(), 15000);
    // The programs and tools the test starts find the display here.
    qputenv("DISPLAY", ':' + display.readLine().trimmed());
    serverUrl = "http://127.0.0.1:" + server.readLine().trimmed() + '/';
}

void UpdateTest::cleanup()
{
    QFile::remove(served.filePath("release"));
}

void UpdateTest::cleanupTestCase()
{
    server.kill();
    display.terminate();
    server.waitForFinished(5000);
    display.waitForFinished(5000);
}

QString UpdateTest::serve(const QString &name, const QByteArray &contents, const QString &query)
{
    QFile file(served.filePath(name));
    if (!contents.isEmpty() &&
        !(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size()))
        return QString();
    return serverUrl + name + query;
}

QString UpdateTest::startStalledDownload(ProgramRun &run)
{
    const QByteArray update = zipped("Update.exe", installer);
    const qint64 half = update.size() / 2;
    if (!run.start(serve("Update.zip", update, QString("?stall=%1").arg(half))) ||
        !QTest::qWaitFor([&] { return QFileInfo(run.folder() + "/Update.zip").size() == half; },
                         20000))
        return QString();
    return findWindow("Installing update...");
}

bool UpdateTest::screenshot(const QString &name) const
{
    return runTool("import",
                   {"-window", "root", "-trim", "+repage", output.filePath(name + ".png")}) == 0;
}

void UpdateTest::installs_data()
{
    QTest::addColumn<QString>("servedName");
    QTest::addColumn<QByteArray>("served");

    const QByteArray archive = zipped("Update.exe", installer);
    QTest::newRow("zip archive") << "Update.zip" << archive;
    QTest::newRow("zip suffix in capitals") << "Update.ZIP" << archive;
    QTest::newRow("bare installer") << "Setup.exe" << installer;
    QTest::newRow("bare installer without suffix") << "Update" << installer;
    QTest::newRow("zip before the suffix") << "update.zip.exe" << installer;
}

void UpdateTest::installs()
{
    QFETCH(QString, servedName);
    QFETCH(QByteArray, served);

    ProgramRun run;
    QVERIFY(run.start(serve(servedName, served)));
    QCOMPARE(run.waitForExit(), 0);
    QCOMPARE(run.leftovers(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), startedLog, 20000);
    QVERIFY(run.releaseInstaller());
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), startedLog + "finished\n", 20000);
}

void UpdateTest::lockIsHeldOnlyWhileDownloading()
{
    ProgramRun run;
    QVERIFY(!startStalledDownload(run).isEmpty());
    QCOMPARE(probeLock(), 1);
    QVERIFY(screenshot("downloading"));

    QVERIFY(QFile(served.filePath("release")).open(QIODevice::WriteOnly));
    // The installer has started and waits; it holds no share of the lock.
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), startedLog, 20000);
    QCOMPARE(probeLock(), 0);

    QVERIFY(run.releaseInstaller());
    QTRY_COMPARE_WITH_TIMEOUT(run.installerLog(), startedLog + "finished\n", 20000);
    QCOMPARE(run.waitForExit(), 0);
}

void UpdateTest::failures_data()
{
    QTest::addColumn<QString>("servedName");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QStringList>("expectedLeftovers");

    // {url} and {folder} stand for the update's URL and the program's folder.
    QTest::newRow("server answers 404")
        << "Missing.zip" << QByteArray()
        << "Failed to update.\n\nError transferring {url} - server replied: Not Found"
        << QStringList{"Missing.zip"};
    QTest::newRow("archive without the installer")
        << "Update.zip" << zipped("Readme.txt", "no installer here")
        << "Failed to update.\n\nError code 3 (-100)." << QStringList();
    QTest::newRow("not a zip archive but named like one")
        << "Update.zip" << QByteArray("plain text") << "Failed to update.\n\nError code 1."
        << QStringList{"Update.zip"};
    QTest::newRow("installer that can't be started")
        << "Update.zip" << zipped("Update.exe", "neither a program nor a script")
        << "Failed to start the installer.\n\n{folder}/Update.exe" << QStringList();
}

void UpdateTest::failures()
{
    QFETCH(QString, servedName);
    QFETCH(QByteArray, served);
    QFETCH(QString, expectedText);
    QFETCH(QStringList, expectedLeftovers);

    ProgramRun run;
    const QString url = serve(servedName, served);
    QVERIFY(run.start(url));
    const QString box = findWindow(boxTitle);
    QVERIFY(!box.isEmpty());
    QVERIFY(screenshot(QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-")));

    // Without a window manager nobody hands out the focus; the key goes where it is given.
    QCOMPARE(runTool("xdotool", {"windowfocus", "--sync", box, "key", "Return"}), 0);
    QCOMPARE(run.waitForExit(), 0);
    // Shown once, with this text.
    QCOMPARE(run.boxLog(),
             expectedText.replace("{url}", url).replace("{folder}", run.folder()) + '\n');
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

    ProgramRun run;
    const QString window = startStalledDownload(run);
    QVERIFY(!window.isEmpty());
    // The middle of the "CANCEL UPDATE" button, which sits at (361, 90), 171 by 32.
    QVERIFY(cancelButton ? runTool("xdotool", {"mousemove", "--sync", "--window", window, "446",
                                               "106", "click", "1"}) == 0
                         : closeFromTitleBar(window));
    QCOMPARE(run.waitForExit(), 0);
    QCOMPARE(run.leftovers(), expectedLeftovers);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
