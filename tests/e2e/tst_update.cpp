#include "tests/testsupport.h"
#include "tests/zipfixture.h"

#include <QtNetwork>
#include <QtTest>

#include <unistd.h>

namespace {

const QString boxTitle = QStringLiteral("Larkspur Installer");
const QString publisher = QStringLiteral("Fernhollow Test Publisher");
const QString namedHost = QStringLiteral("updates.larkspur.test");
// What the fake installer writes down when it is started as the program starts it.
QString installed(const char *underWay = "no update under way")
{
    return QStringLiteral("argument /VERYSILENT\nargument /SP-\n") + underWay + '\n';
}
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

// What Wine hands on to X of the Windows clipboard.
QString clipboard()
{
    QByteArray text;
    runTool({"xclip", "-o", "-selection", "clipboard"}, &text);
    return QString::fromUtf8(text).remove('\r');
}

// The first visible window whose title matches, once there is one; empty after 20 s. Asked
// again and again rather than with xdotool's own wait, which gives up on the first window that
// closes while it looks, as Wine's do.
QString findWindow(const QString &title)
{
    QString window;
    const bool found = QTest::qWaitFor(
        [&] {
            QByteArray windows;
            runTool({"xdotool", "search", "--onlyvisible", "--name", title}, &windows, 5000);
            window = QString::fromLatin1(windows).section('\n', 0, 0);
            return !window.isEmpty();
        },
        20000);
    return found ? window : QString();
}

// The installer files the program left to a later start of its own, from the Wine prefix's
// registry.
QString pendingRemovals()
{
    QByteArray found;
    runTool({"wine", "reg", "query", "HKCU\\Software\\Fernhollow\\Larkspur Installer", "/v",
             "pendingRemovals"},
            &found);
    return QString::fromUtf8(found);
}

// An archive that takes nginx's slow location several seconds, whatever the build made of the
// installer: incompressible padding beside it.
QByteArray slowArchive(const QString &name, const QByteArray &installer)
{
    QByteArray padding(384 * 1024, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(padding.data()), padding.size() / 4);
    return zipfixture::zipped({{name, installer}, {"padding", padding, 0}});
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
    void cleanup();

private:
    bool startNginx();
    void makeCertificates();
    QByteArray sign(const QByteArray &program, const QString &signer);
    QString url(QString pattern) const;
    QString prepare(const QTemporaryDir &folder, bool wine, const QString &programSigner);
    void start(QProcess &run, bool wine, const QString &program, const QString &url,
               const QStringList &privateTmp = {});
    void answerBox(bool wine, QString box, const QString &url, const QString &folder);
    void finish(QProcess &run, const QString &folder);
    void useProxy(QProcess &proxy, const QString &mode);

    // In the build folder, beside the Wine prefix: a private /tmp hides the machine's own.
    QTemporaryDir work{QDir::currentPath() + "/work-XXXXXX"};
    const QString windowsProgram = QStringLiteral(LARKSPUR_WINDOWS_INSTALLER_PATH);
    const QByteArray linuxInstaller = readFile(LARKSPUR_FAKE_INSTALLER_PATH);
    const QByteArray windowsInstaller = readFile(LARKSPUR_WINDOWS_FAKE_INSTALLER_PATH);
    QProcess display;
    QProcess nginx;
    QMap<QString, QString> servers;
};

void UpdateTest::initTestCase()
{
    QVERIFY(work.isValid());
    // A Wine prefix of the test's own, in the build folder; no Mono or Gecko, whose installers
    // would ask for a download, and no desktop entries.
    qputenv("WINEPREFIX", LARKSPUR_WINE_PREFIX);
    qputenv("WINEDEBUG", "-all");
    qputenv("WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=");
    // A running installer holds its file, as real ones do.
    qputenv("LARKSPUR_FAKE_INSTALLER_SECONDS", "2");
    // -displayfd picks a free display and reports it. Every Wine process of the prefix binds to
    // the display that its first one saw, so the display comes first. The limits outlast ctest's.
    display.start("timeout", {"600", "Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24",
                              "-nolisten", "tcp"});
    QTRY_VERIFY_WITH_TIMEOUT(display.canReadLine(), 15000);
    qputenv("DISPLAY", ':' + display.readLine().trimmed());

    makeCertificates();
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
    QVERIFY(startNginx());
}

// nginx binds the ports itself, so a port found free may be taken by then: it is tried again
// with others.
bool UpdateTest::startNginx()
{
    QDir(work.path()).mkpath("served");
    for (int attempt = 0; attempt < 5; ++attempt) {
        QString configuration = QString(readFile(LARKSPUR_NGINX_CONFIGURATION)).arg(work.path());
        for (const QString &name : QStringList{"http", "https", "untrusted"}) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost))
                return false;
            configuration = configuration.arg(probe.serverPort());
            servers[name] = QString(name == "http" ? "http" : "https") +
                            "://127.0.0.1:" + QString::number(probe.serverPort());
        }
        if (!writeFile(work.filePath("nginx.conf"), configuration.toUtf8()))
            return false;
        nginx.setProcessChannelMode(QProcess::ForwardedChannels);
        nginx.start("timeout", {"600", "/usr/sbin/nginx", "-p", work.path(), "-c",
                                work.filePath("nginx.conf"), "-e", "stderr"});
        // nginx writes its pid file once it listens, and ends at once when it can't.
        if (!nginx.waitForStarted(10000) ||
            !QTest::qWaitFor(
                [&] {
                    return nginx.state() == QProcess::NotRunning ||
                           QFile::exists(work.filePath("nginx.pid"));
                },
                15000))
            return false;
        if (nginx.state() == QProcess::Running)
            return true;
    }
    return false;
}

// A TLS server certificate for nginx, a code-signing root, and three signers under it: the
// publisher, the publisher again with a new key, and someone else.
void UpdateTest::makeCertificates()
{
    const QString ec = "ec_paramgen_curve:prime256v1";
    for (const QString &name : QStringList{"trusted", "untrusted"})
        QCOMPARE(runTool({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes",
                          "-subj", "/CN=127.0.0.1", "-addext",
                          "subjectAltName=IP:127.0.0.1,DNS:" + namedHost, "-keyout",
                          work.filePath(name + ".key"), "-out", work.filePath(name + ".pem")}),
                 0);
    QCOMPARE(runTool({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                      "-subj", "/CN=Larkspur Test Root", "-keyout", work.filePath("root.key"),
                      "-out", work.filePath("root.pem")}),
             0);
    QVERIFY(writeFile(work.filePath("signer.ext"),
                      "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"));
    const QMap<QString, QString> subjects = {{"publisher", "/O=Fernhollow/CN=" + publisher},
                                             {"renewed", "/O=Fernhollow/CN=" + publisher},
                                             {"other", "/O=Elsewhere/CN=Other Publisher"}};
    for (auto signer = subjects.cbegin(); signer != subjects.cend(); ++signer) {
        const QString base = work.filePath(signer.key());
        QCOMPARE(runTool({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                          signer.value(), "-keyout", base + ".key", "-out", base + ".csr"}),
                 0);
        QCOMPARE(runTool({"openssl", "x509", "-req", "-days", "2", "-in", base + ".csr", "-CA",
                          work.filePath("root.pem"), "-CAkey", work.filePath("root.key"),
                          "-set_serial", QString::number(qHash(signer.key())), "-extfile",
                          work.filePath("signer.ext"), "-out", base + ".pem"}),
                 0);
        QVERIFY(writeFile(base + ".chain",
                          readFile(base + ".pem") + readFile(work.filePath("root.pem"))));
    }
}

// The program or an installer signed as a vendor signs its releases.
QByteArray UpdateTest::sign(const QByteArray &program, const QString &signer)
{
    if (program.isEmpty())
        return QByteArray();
    QTemporaryDir folder;
    const QString in = folder.filePath("in.exe"), out = folder.filePath("out.exe");
    const QString base = work.filePath(signer);
    if (!writeFile(in, program) ||
        runTool({"osslsigncode", "sign", "-certs", base + ".chain", "-key", base + ".key", "-h",
                 "sha256", "-in", in, "-out", out}) != 0)
        return QByteArray();
    return readFile(out);
}

UpdateTest::~UpdateTest()
{
    // Ends the prefix's server, and with it any Windows process still running there.
    runTool({"wineserver", "-k"});
    // timeout passes the signal on to the display and the server it runs.
    for (QProcess *process : {&nginx, &display}) {
        process->terminate();
        process->waitForFinished(5000);
    }
}

QString UpdateTest::url(QString pattern) const
{
    // A host only the test's proxy knows, for Qt never sends a loopback address through one.
    pattern.replace("{named}", QString(servers["http"]).replace("127.0.0.1", namedHost))
        .replace("{named-tls}", QString(servers["https"]).replace("127.0.0.1", namedHost));
    for (auto server = servers.cbegin(); server != servers.cend(); ++server)
        pattern.replace('{' + server.key() + '}', server.value());
    return pattern;
}

// The program in a folder of its own whose name Windows reads only through its wide-character
// functions, signed when a signer is named. Returns the program's path.
QString UpdateTest::prepare(const QTemporaryDir &folder, bool wine, const QString &programSigner)
{
    const QString program = folder.filePath(wine ? "Larkspur Installer.exe" : "Larkspur Installer");
    if (!wine) {
        QFile::copy(LARKSPUR_INSTALLER_PATH, program);
        return program;
    }
    const QByteArray windows = readFile(windowsProgram);
    writeFile(program, programSigner.isEmpty() ? windows : sign(windows, programSigner));
    return program;
}

// Starts the program in the test's folder, which the installer inherits and writes its log in.
// With privateTmp it runs with a /tmp of its own, prepared by the given mode.
void UpdateTest::start(QProcess &run, bool wine, const QString &program, const QString &url,
                       const QStringList &privateTmp)
{
    run.setWorkingDirectory(work.path());
    run.setStandardOutputFile(QProcess::nullDevice());
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (wine)
        run.start("timeout", {"120", "wine", program, "x", url});
    else if (privateTmp.isEmpty())
        run.start("timeout", {"120", program, "x", url});
    else
        run.start("timeout", QStringList{"120", "unshare", "--mount", "--propagation", "private",
                                         LARKSPUR_PRIVATE_TMP} +
                                 privateTmp + QStringList{program, "x", url});
    QVERIFY(run.waitForStarted(10000));
}

// Waits for the program's box, compares its text where it can be read (under Wine, from the
// text Windows copies on Ctrl+C) and closes it with its button.
void UpdateTest::answerBox(bool wine, QString box, const QString &url, const QString &folder)
{
    const QString window = findWindow('^' + boxTitle + '$');
    QVERIFY(!window.isEmpty());
    // Without a window manager nobody hands out the focus, and Wine sends keys to its window
    // on top: the box is raised, then given them.
    QCOMPARE(runTool({"xdotool", "windowraise", window}), 0);
    if (wine) {
        QCOMPARE(runTool({"xdotool", "windowfocus", "--sync", window, "key", "ctrl+c"}), 0);
        box.replace("{url}", url).replace("{folder}", "Z:" + folder);
        QTRY_COMPARE_WITH_TIMEOUT(
            clipboard(), rule + boxTitle + '\n' + rule + box + '\n' + rule + "CLOSE   \n" + rule,
            10000);
    }
    QCOMPARE(runTool({"xdotool", "windowfocus", "--sync", window, "key", "Return"}), 0);
}

// Waits for the program to exit with 0, and for whatever it started from its folder to end.
void UpdateTest::finish(QProcess &run, const QString &folder)
{
    QVERIFY(run.waitForFinished(60000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    // Under Wine a started program may show by its Windows path, in a code page of Wine's: the
    // folder is told by its ASCII suffix.
    QTRY_VERIFY_WITH_TIMEOUT(!programRuns(folder.right(6)), 30000);
}

void UpdateTest::update_data()
{
    QTest::addColumn<bool>("wine");
    // Around the run: a second instance against the same URL; a /tmp of the program's own whose
    // update lock is "held" exclusively or is a "fifo"; or a "proxy" in the Wine prefix's
    // Internet settings, open or asking for "user:password".
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("programSigner");
    // {url} and {folder} stand for the update's URL and the program's folder. On Linux a box's
    // text can't be read from outside: only that one appears is checked.
    QTest::addColumn<QString>("box");
    // The installer's file name when it is started, else empty.
    QTest::addColumn<QString>("installer");
    QTest::addColumn<QStringList>("leftovers");

    const QString notFound = "Failed to update.\n\nError transferring {url} - server replied: "
                             "Not Found";
    const QString update = "Update.exe";
    // Cyrillic and accented Latin, which the ANSI code page can't carry together.
    const QString foreign = QStringLiteral("Обновление Mise à jour");
    QByteArray changed = sign(windowsInstaller, "publisher");
    changed[changed.size() / 3] = char(changed[changed.size() / 3] ^ 0x20);
    const QString slowly = "{http}/slow/Update.zip";

    const auto row = [](const char *name, bool wine, const QStringList &setup, const QString &url,
                        const QByteArray &served, const QString &signer, const QString &box,
                        const QString &installer, const QStringList &leftovers) {
        QTest::newRow(name) << wine << setup << url << served << signer << box << installer
                            << leftovers;
    };
    const QByteArray linuxSlow = slowArchive(update, linuxInstaller);
    const QByteArray windowsSlow = slowArchive(update, windowsInstaller);
    row("Linux: zip, slowly", false, {}, slowly, linuxSlow, {}, {}, update, {});
    row("Linux: 404", false, {}, "{http}/Missing.zip", {}, {}, notFound, {}, {"Missing.zip"});
    row("Linux: a second instance", false, {"second"}, slowly, linuxSlow, {}, {}, update, {});
    row("Linux: the update lock held exclusively", false, {"held"}, slowly, linuxSlow, {}, {},
        update, {});
    row("Linux: a FIFO in place of the update lock", false, {"fifo"}, slowly, linuxSlow, {}, {},
        update, {});
    // Wine keeps a running installer's file, as Windows does: it stays for a later start.
    row("Wine: zip, slowly", true, {}, slowly, windowsSlow, {}, {}, update, {update});
    row("Wine: a second instance", true, {"second"}, slowly, windowsSlow, {}, {}, update, {update});
    row("Wine: installer over trusted HTTPS, with its digest", true, {},
        "{https}/Update.exe#sha256=" +
            QCryptographicHash::hash(windowsInstaller, QCryptographicHash::Sha256).toHex(),
        windowsInstaller, {}, {}, update, {update});
    row("Wine: URL outside ASCII", true, {}, "{http}/" + foreign + ".zip",
        zipfixture::zipped(foreign + ".exe", windowsInstaller), {}, {}, foreign + ".exe",
        {foreign + ".exe"});
    row("Wine: 404", true, {}, "{http}/Missing.zip", {}, {}, notFound, {}, {"Missing.zip"});
    row("Wine: zip without the installer", true, {}, "{http}/Update.zip",
        zipfixture::zipped("Readme.txt", "no installer"), {},
        "Failed to update.\n\nError code 3 (-100).", {}, {});
    row("Wine: untrusted HTTPS", true, {}, "{untrusted}/Update.exe", windowsInstaller, {},
        "Failed to update.\n\nSSL handshake failed", {}, {update});

    // Only the test's proxy knows the host.
    row("Wine: through the user's proxy", true, {"proxy", "open"}, "{named}/Update.exe",
        windowsInstaller, {}, {}, update, {update});
    row("Wine: through the user's proxy, HTTPS", true, {"proxy", "open"}, "{named-tls}/Update.exe",
        windowsInstaller, {}, {}, update, {update});
    row("Wine: a proxy that asks for a password", true, {"proxy", "user:password"},
        "{named-tls}/Update.exe", windowsInstaller, {},
        "Failed to update.\n\nThe proxy server requires a user name and password.", {}, {update});

    // A signed program starts only its own publisher's installers.
    row("Wine: signed by the program's publisher", true, {}, "{http}/Update.exe",
        sign(windowsInstaller, "publisher"), "publisher", {}, update, {update});
    row("Wine: signed with the publisher's renewed key", true, {}, "{http}/Update.zip",
        zipfixture::zipped(update, sign(windowsInstaller, "renewed")), "publisher", {}, update,
        {update});
    row("Wine: signed by another publisher", true, {}, "{http}/Update.zip",
        zipfixture::zipped(update, sign(windowsInstaller, "other")), "publisher",
        "Failed to update.\n\nThe installer is signed by Other Publisher, not by " + publisher +
            '.',
        {}, {});
    row("Wine: changed after signing", true, {}, "{http}/Update.exe", changed, "publisher",
        "Failed to update.\n\nThe installer's signature is not valid.", {}, {});
    row("Wine: unsigned installer, signed program", true, {}, "{http}/Update.exe", windowsInstaller,
        "publisher", "Failed to update.\n\nThe installer is not signed.", {}, {});
}

void UpdateTest::update()
{
    QFETCH(bool, wine);
    QFETCH(QStringList, setup);
    QFETCH(QString, url);
    QFETCH(QByteArray, served);
    QFETCH(QString, programSigner);
    QFETCH(QString, box);
    QFETCH(QString, installer);
    QFETCH(QStringList, leftovers);
    if (wine && windowsProgram.isEmpty())
        QSKIP("No Windows program to run under Wine: scripts/test.sh builds one.");
    // A mount namespace of its own keeps the machine's lock file, which a real update or another
    // test run may be using, out of reach.
    const bool privateTmp = setup.value(0) == "held" || setup.value(0) == "fifo";
    if (privateTmp && geteuid() != 0)
        QSKIP("A private /tmp needs root, as CI has.");

    url = this->url(url);
    const QString servedPath = work.filePath("served/" + QUrl(url).fileName());
    QVERIFY(served.isEmpty() ? QFile::remove(servedPath) || !QFile::exists(servedPath)
                             : writeFile(servedPath, served));
    QFile::remove(work.filePath("installer.log"));
    QTemporaryDir folder(work.filePath(QStringLiteral("Larkspur \u00dcpdate \u66f4\u65b0-XXXXXX")));
    const QString program = prepare(folder, wine, programSigner);
    QProcess proxy;
    if (setup.value(0) == "proxy")
        useProxy(proxy, setup.value(1));

    QProcess run;
    start(run, wine, program, url, privateTmp ? setup : QStringList());
    if (url.contains("/slow/")) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder.filePath("Update.zip")).size() > 0, 20000);
        // What the product sees while the download runs; in a /tmp of its own, the window shows
        // although the lock was not to be had.
        if (privateTmp)
            QVERIFY(!findWindow("^Installing update...$").isEmpty());
        else
            QCOMPARE(
                runTool(wine ? QStringList{"wine", LARKSPUR_WINDOWS_FAKE_INSTALLER_PATH, "probe"}
                             : QStringList{LARKSPUR_FAKE_INSTALLER_PATH, "probe"}),
                1);
    }
    if (setup.value(0) == "second") {
        QProcess second;
        start(second, wine, program, url);
        answerBox(wine,
                  "Failed to download the update.\n\nAnother update is already downloading "
                  "{folder}/Update.zip.",
                  url, folder.path());
        QVERIFY(second.waitForFinished(60000));
        QCOMPARE(second.exitCode(), 0);
    }
    if (!box.isEmpty())
        answerBox(wine, box, url, folder.path());
    finish(run, folder.path());
    useProxy(proxy, {});
    // The product's probe meets the exclusive lock that stands for a waiting product too.
    const QString log =
        installed(setup.value(0) == "held" ? "update under way" : "no update under way");
    QCOMPARE(QString(readFile(work.filePath("installer.log"))),
             installer.isEmpty() ? QString() : log + "finished\n");
    QStringList files = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeOne(QFileInfo(program).fileName());
    QCOMPARE(files, leftovers);

    if (!wine)
        return;
    // The installer's file is left to the next start, which removes it first. The registry
    // tool answers in the console's code page: the folder is told by its ASCII suffix.
    QCOMPARE(pendingRemovals().contains(folder.path().right(6) + '/'), !installer.isEmpty());
    if (installer.isEmpty())
        return;
    const QString refused = this->url("{http}/Next.zip#sha512=0");
    start(run, wine, program, refused);
    answerBox(wine, "Failed to download the update.\n\nUnsupported digest: sha512=0", refused,
              folder.path());
    finish(run, folder.path());
    QVERIFY(!QFile::exists(folder.filePath(installer)));
    QVERIFY(!pendingRemovals().contains("pendingRemovals"));
}

// A row that failed may leave a program on its box; the next row starts without it.
void UpdateTest::cleanup()
{
    if (QTest::currentTestFailed() && !windowsProgram.isEmpty())
        runTool({"wineserver", "-k"});
}

// Starts the test proxy in the given mode and names it in the Wine prefix's Internet settings,
// as a user's proxy setting; without a mode, stops it and takes the setting away.
void UpdateTest::useProxy(QProcess &proxy, const QString &mode)
{
    const QString key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                        "Settings\\Connections";
    if (mode.isEmpty()) {
        if (proxy.state() == QProcess::NotRunning)
            return;
        proxy.terminate();
        proxy.waitForFinished();
        QCOMPARE(runTool({"wine", "reg", "delete", key, "/v", "DefaultConnectionSettings", "/f"}),
                 0);
        return;
    }
    proxy.start("/usr/bin/python3", {LARKSPUR_TEST_PROXY, mode, "120"});
    QVERIFY(proxy.waitForReadyRead(10000));
    // What Internet Explorer's settings page writes: a version, a counter, the flags (direct, and
    // a named proxy), then the proxy, the bypass list and the script's address, each after its
    // length.
    QByteArray blob = QByteArray::fromHex("46000000000000000300000000000000");
    const QByteArray address = "127.0.0.1:" + proxy.readLine().trimmed();
    qToLittleEndian<quint32>(address.size(), blob.data() + 12);
    blob += address + QByteArray::fromHex("07000000") + "<local>" + QByteArray(4 + 32, '\0');
    QCOMPARE(runTool({"wine", "reg", "add", key, "/v", "DefaultConnectionSettings", "/t",
                      "REG_BINARY", "/d", blob.toHex(), "/f"}),
             0);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
