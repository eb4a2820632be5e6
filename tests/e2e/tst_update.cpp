#include "tests/zipfixture.h"

#include <QtNetwork>
#include <QtTest>

namespace {

const QString boxTitle = QStringLiteral("Larkspur Installer");
const QString installed =
    QStringLiteral("argument /VERYSILENT\nargument /SP-\nno update under way\n");
// The lines around each part of a message box's text that Windows copies.
const QString rule = QStringLiteral("---------------------------\n");

// Runs a command to its end; one that outlives the time limit is stopped by its pid. Returns
// the exit code, or -1.
int runTool(QStringList command, QByteArray *output = nullptr, int limit = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(limit)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// What Wine hands on to X of the Windows clipboard.
QString clipboard()
{
    QByteArray text;
    runTool({"xclip", "-o", "-selection", "clipboard"}, &text);
    return QString::fromUtf8(text).remove('\r');
}

} // namespace

// The whole update of the real program, from its start to its exit: the Linux build on an X
// server of the test's own, and the cross-built Windows program under Wine on the same display.
// nginx serves the updates; the fake installer records what it received; xdotool stands in for
// the user. There is no window manager.
class UpdateTest : public QObject
{
    Q_OBJECT

public:
    ~UpdateTest() override;

private slots:
    void initTestCase();
    void update_data();
    void update();

private:
    QTemporaryDir work;
    const QString windowsProgram = QStringLiteral(LARKSPUR_WINDOWS_INSTALLER_PATH);
    QProcess display;
    QProcess nginx;
    QMap<QString, QString> servers;
};

void UpdateTest::initTestCase()
{
    // A Wine prefix of the test's own, in the build folder; no Mono or Gecko, whose installers
    // would ask for a download, and no desktop entries.
    qputenv("WINEPREFIX", LARKSPUR_WINE_PREFIX);
    qputenv("WINEDEBUG", "-all");
    qputenv("WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=");
    // -displayfd picks a free display and reports it. Every Wine process of the prefix binds to
    // the display that its first one saw, so the display comes first. The limits outlast ctest's.
    display.start("timeout", {"600", "Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24",
                              "-nolisten", "tcp"});
    QTRY_VERIFY_WITH_TIMEOUT(display.canReadLine(), 15000);
    qputenv("DISPLAY", ':' + display.readLine().trimmed());

    for (const QString &name : QStringList{"trusted", "untrusted"})
        QCOMPARE(runTool({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                          "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=127.0.0.1",
                          "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                          work.filePath(name + ".key"), "-out", work.filePath(name + ".pem")}),
                 0);
    if (!windowsProgram.isEmpty()) {
        // Made anew for every run.
        QVERIFY(QDir(LARKSPUR_WINE_PREFIX).removeRecursively());
        QCOMPARE(runTool({"wineboot", "-i"}, nullptr, 300000), 0);
        // Trusted by this prefix only, never by the machine: a root certificate, in the form in
        // which Windows keeps one in the registry (property 32, the certificate itself).
        const QByteArray der = QSslCertificate(readFile(work.filePath("trusted.pem"))).toDer();
        QByteArray blob = QByteArray::fromHex("200000000100000000000000") + der;
        qToLittleEndian<quint32>(der.size(), blob.data() + 8);
        const QString key =
            "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
            QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex().toUpper();
        QCOMPARE(runTool({"wine", "reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d",
                          blob.toHex(), "/f"}),
                 0);
    }

    QString configuration = QString(readFile(LARKSPUR_NGINX_CONFIGURATION)).arg(work.path());
    for (const QString &name : QStringList{"http", "https", "untrusted"}) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        configuration = configuration.arg(probe.serverPort());
        servers[name] = QString(name == "http" ? "http" : "https") +
                        "://127.0.0.1:" + QString::number(probe.serverPort());
    }
    QVERIFY(QDir(work.path()).mkpath("served") &&
            writeFile(work.filePath("nginx.conf"), configuration.toUtf8()));
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start("timeout", {"600", "/usr/sbin/nginx", "-p", work.path(), "-c",
                            work.filePath("nginx.conf"), "-e", "stderr"});
    // nginx writes its pid file once it listens.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work.filePath("nginx.pid")), 15000);
}

UpdateTest::~UpdateTest()
{
    // Ends the prefix's server, and with it the installers still running there.
    runTool({"wineserver", "-k"});
    // timeout passes the signal on to the display and the server it runs.
    for (QProcess *process : {&nginx, &display}) {
        process->terminate();
        process->waitForFinished(5000);
    }
}

void UpdateTest::update_data()
{
    QTest::addColumn<bool>("wine");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("served");
    // {url} and {folder} stand for the update's URL and the program's folder. On Linux a box's
    // text can't be read from outside: only that one appears is checked.
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("leftovers");

    const QByteArray linuxInstaller = readFile(LARKSPUR_FAKE_INSTALLER_PATH);
    const QByteArray windowsInstaller = readFile(LARKSPUR_WINDOWS_FAKE_INSTALLER_PATH);
    const QString held = "Failed to remove file.\n\n{folder}/Update.exe";
    const QString notFound = "Failed to update.\n\nError transferring {url} - server replied: "
                             "Not Found";

    QTest::newRow("Linux: zip, slowly")
        << false << "{http}/slow/Update.zip" << zipfixture::zipped("Update.exe", linuxInstaller)
        << QString() << QStringList();
    QTest::newRow("Linux: 404") << false << "{http}/Missing.zip" << QByteArray() << notFound
                                << QStringList{"Missing.zip"};
    QTest::newRow("Wine: zip, slowly")
        << true << "{http}/slow/Update.zip" << zipfixture::zipped("Update.exe", windowsInstaller)
        << held << QStringList{"Update.exe"};
    QTest::newRow("Wine: installer over trusted HTTPS")
        << true << "{https}/Update.exe" << windowsInstaller << held << QStringList{"Update.exe"};
    QTest::newRow("Wine: 404") << true << "{http}/Missing.zip" << QByteArray() << notFound
                               << QStringList{"Missing.zip"};
    QTest::newRow("Wine: zip without the installer")
        << true << "{http}/Update.zip" << zipfixture::zipped("Readme.txt", "no installer")
        << "Failed to update.\n\nError code 3 (-100)." << QStringList();
    QTest::newRow("Wine: untrusted HTTPS")
        << true << "{untrusted}/Update.exe" << windowsInstaller
        << "Failed to update.\n\nSSL handshake failed" << QStringList{"Update.exe"};
}

void UpdateTest::update()
{
    QFETCH(bool, wine);
    QFETCH(QString, url);
    QFETCH(QByteArray, served);
    QFETCH(QString, box);
    QFETCH(QStringList, leftovers);
    if (wine && windowsProgram.isEmpty())
        QSKIP("No Windows program to run under Wine: scripts/test.sh builds one.");

    for (auto server = servers.cbegin(); server != servers.cend(); ++server)
        url.replace('{' + server.key() + '}', server.value());
    const QString servedPath = work.filePath("served/" + QUrl(url).fileName());
    QVERIFY(served.isEmpty() ? QFile::remove(servedPath) || !QFile::exists(servedPath)
                             : writeFile(servedPath, served));
    // The program downloads into its own folder, whose name Windows reads only through its
    // wide-character functions.
    QTemporaryDir folder(QDir::tempPath() +
                         QStringLiteral("/Larkspur \u00dcpdate \u66f4\u65b0-XXXXXX"));
    QTemporaryDir logs;
    const QString program = folder.filePath(wine ? "Larkspur Installer.exe" : "Larkspur Installer");
    QVERIFY(QFile::copy(wine ? windowsProgram : LARKSPUR_INSTALLER_PATH, program));

    // Windows refuses to remove a running program: the installer runs on, as real ones do.
    qputenv("LARKSPUR_FAKE_INSTALLER_SECONDS", wine ? "30" : "0");
    QProcess run;
    // The installer inherits the folder the program starts in, and writes its log there.
    run.setWorkingDirectory(logs.path());
    run.setStandardOutputFile(QProcess::nullDevice());
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.start(wine ? "wine" : program, QStringList{program, "x", url}.mid(wine ? 0 : 1));
    QVERIFY(run.waitForStarted(10000));

    if (url.contains("/slow/")) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder.filePath("Update.zip")).size() > 0, 20000);
        // What the product sees while the download runs.
        QCOMPARE(runTool(wine ? QStringList{"wine", LARKSPUR_WINDOWS_FAKE_INSTALLER_PATH, "probe"}
                              : QStringList{LARKSPUR_FAKE_INSTALLER_PATH, "probe"}),
                 1);
    }
    if (!box.isEmpty()) {
        QByteArray found;
        runTool({"xdotool", "search", "--sync", "--onlyvisible", "--name", '^' + boxTitle + '$'},
                &found, 20000);
        const QString window = QString::fromLatin1(found).section('\n', 0, 0);
        QVERIFY(!window.isEmpty());
        // Without a window manager nobody hands out the focus; keys go where they are given.
        if (wine) {
            QCOMPARE(runTool({"xdotool", "windowfocus", "--sync", window, "key", "ctrl+c"}), 0);
            box.replace("{url}", url).replace("{folder}", "Z:" + folder.path());
            QTRY_COMPARE_WITH_TIMEOUT(
                clipboard(),
                rule + boxTitle + '\n' + rule + box + '\n' + rule + "CLOSE   \n" + rule, 10000);
        }
        QCOMPARE(runTool({"xdotool", "windowfocus", "--sync", window, "key", "Return"}), 0);
    }
    QVERIFY(run.waitForFinished(60000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    // Every run that gets as far as the removal has started the installer; no other has.
    const bool started = box.isEmpty() || box.startsWith("Failed to remove file.");
    QTRY_COMPARE_WITH_TIMEOUT(
        QString(readFile(logs.filePath("installer.log"))).remove("finished\n"),
        started ? installed : QString(), 20000);
    QStringList files = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeOne(QFileInfo(program).fileName());
    QCOMPARE(files, leftovers);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
