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
// the exit code, or -1 (and says why).
int runTool(QStringList command, QByteArray *output = nullptr, int limit = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(limit)) {
        qWarning("%s: %s", qPrintable(process.program()), qPrintable(process.errorString()));
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

// Gives a key to a window, raised first: without a window manager nobody hands out the focus,
// and Wine sends keys to its window on top. Returns xdotool's exit code.
int sendKey(const QString &window, const QString &key)
{
    runTool({"xdotool", "windowraise", window});
    return runTool({"xdotool", "windowfocus", "--sync", window, "key", key});
}

// The installer files the program left to a later start of its own, from the Wine prefix's
// registry.
const QString settingsKey = QStringLiteral("HKCU\\Software\\Fernhollow\\Larkspur Installer");
QString pendingRemovals()
{
    QByteArray found;
    runTool({"wine", "reg", "query", settingsKey, "/v", "pendingRemovals"}, &found);
    return QString::fromUtf8(found);
}

// An update that takes its time whatever the build made of the installer: incompressible
// padding of `size` bytes beside it, stored as it is, and each seed makes another. 384 KiB take
// nginx's slow location several seconds; 64 MiB take its fast one a few.
QByteArray paddedArchive(const QByteArray &installer, int size, int seed = 7)
{
    QByteArray padding(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(padding.data()), size / 4);
    return zipfixture::zipped({{"Update.exe", installer}, {"padding", padding, 0}});
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
               const QStringList &setup = {});
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
    // Without -noreset the server resets whenever its last client leaves, and a program that
    // connects meanwhile finds no display.
    display.start("timeout", {"900", "Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24",
                              "-nolisten", "tcp", "-noreset"});
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
        nginx.start("timeout", {"900", "/usr/sbin/nginx", "-p", work.path(), "-c",
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

// The program or an installer signed as a vendor signs its releases. A signing that fails fails
// the test, rather than handing on an empty file that Wine would not even start.
QByteArray UpdateTest::sign(const QByteArray &program, const QString &signer)
{
    if (program.isEmpty())
        return QByteArray();
    QTemporaryDir folder(work.filePath("signing-XXXXXX"));
    const QString in = folder.filePath("in.exe"), out = folder.filePath("out.exe");
    QByteArray signedProgram;
    if (writeFile(in, program) &&
        runTool({"osslsigncode", "sign", "-certs", work.filePath(signer + ".chain"), "-key",
                 work.filePath(signer + ".key"), "-h", "sha256", "-in", in, "-out", out}) == 0)
        signedProgram = readFile(out);
    if (signedProgram.isEmpty())
        QTest::qFail(qPrintable("Could not sign as " + signer), __FILE__, __LINE__);
    return signedProgram;
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
// functions, signed when a signer is named: then, after a comma, "stub changed" changes a byte
// that the signature covers and Windows never runs, and "signature damaged" the start of the
// signature itself. Returns the program's path, or nothing when it could not be made.
QString UpdateTest::prepare(const QTemporaryDir &folder, bool wine, const QString &programSigner)
{
    const QString program = folder.filePath(wine ? "Larkspur Installer.exe" : "Larkspur Installer");
    if (!wine)
        return QFile::copy(LARKSPUR_INSTALLER_PATH, program) ? program : QString();
    const QByteArray windows = readFile(windowsProgram);
    QByteArray signedProgram =
        programSigner.isEmpty() ? windows : sign(windows, programSigner.section(',', 0, 0));
    // The DOS stub's message; the signature's place from the security directory of the PE header.
    const int security = qFromLittleEndian<quint32>(signedProgram.constData() + 0x3c) + 168;
    if (programSigner.endsWith("stub changed"))
        signedProgram[0x50] = char(signedProgram[0x50] ^ 0x20);
    else if (programSigner.endsWith("signature damaged"))
        signedProgram.replace(qFromLittleEndian<quint32>(signedProgram.constData() + security) + 8,
                              4, QByteArray(4, '\0'));
    return !signedProgram.isEmpty() && writeFile(program, signedProgram) ? program : QString();
}

// Starts the program in the test's folder, which the installer inherits and writes its log in.
// With a mode of privatetmp.sh as setup it runs in a mount namespace of its own prepared by it;
// with "plugin", Qt's plugin folder option comes first and the plugin folders are set in the
// environment; with "pipe", the program's output is a pipe whose end the program's exit marks.
void UpdateTest::start(QProcess &run, bool wine, const QString &program, const QString &url,
                       const QStringList &setup)
{
    run.setWorkingDirectory(work.path());
    // Wine says on standard output why it could not start a program.
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    QStringList command = QStringList{wine ? "wine" : "", program,
                                      setup.contains("plugin") ? "-platformpluginpath" : "x", url};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!wine)
        command.removeFirst();
    if (setup.contains("plugin")) {
        // OpenSSL's configuration names the plugin as a module of its own.
        const QString configuration = work.filePath("openssl.cnf");
        QVERIFY(writeFile(configuration, "openssl_conf = init\n[init]\nproviders = providers\n"
                                         "[providers]\nmarker = marker\n[marker]\nmodule = " +
                                             QFile::encodeName(url) +
                                             "/libmarkerplugin.so\nactivate = 1\n"));
        environment.insert("OPENSSL_CONF", configuration);
        environment.insert("QT_PLUGIN_PATH", LARKSPUR_PLUGINS);
        environment.insert("QT_QPA_PLATFORM_PLUGIN_PATH", url);
        environment.insert("LARKSPUR_PLUGIN_MARK", work.filePath("plugin loaded"));
    }
    if (QStringList{"held", "fifo", "small"}.contains(setup.value(0)))
        command =
            QStringList{"unshare",     "--mount", "--propagation", "private", LARKSPUR_PRIVATE_TMP,
                        setup.value(0)} +
            command;
    if (setup.contains("pipe")) {
        // The installer lingers long after the program, which must not hand it the pipe.
        environment.insert("LARKSPUR_FAKE_INSTALLER_SECONDS", "8");
        command = QStringList{"bash", "-c", "set -o pipefail; \"$@\" | cat", "bash"} + command;
    }
    run.setProcessEnvironment(environment);
    run.start("timeout", QStringList{"120"} + command);
    QVERIFY(run.waitForStarted(10000));
}

// Waits for the program's box, compares its text where it can be read (under Wine, from the
// text Windows copies on Ctrl+C) and closes it with its button.
void UpdateTest::answerBox(bool wine, QString box, const QString &url, const QString &folder)
{
    const QString window = findWindow('^' + boxTitle + '$');
    QVERIFY(!window.isEmpty());
    if (wine) {
        QCOMPARE(sendKey(window, "ctrl+c"), 0);
        box.replace("{url}", url).replace("{folder}", "Z:" + folder);
        QTRY_COMPARE_WITH_TIMEOUT(
            clipboard(), rule + boxTitle + '\n' + rule + box + '\n' + rule + "CLOSE   \n" + rule,
            10000);
    }
    QCOMPARE(sendKey(window, "Return"), 0);
}

// Waits for the program to exit with 0, and for whatever it started from its folder to end.
void UpdateTest::finish(QProcess &run, const QString &folder)
{
    QVERIFY(run.state() == QProcess::NotRunning || run.waitForFinished(60000));
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
    // update lock is "held" exclusively or is a "fifo"; a folder on a "small" file system; a
    // "proxy" in the Wine prefix's Internet settings, open or asking for "user:password"; a
    // "record" of leftovers that names what the program never left; Qt's "plugin" folders named
    // on the command line and in the environment; the program's output a "pipe"; the user's
    // "Escape" mid-download. Or the program stopped midway, "killed" or "closed" from its title
    // bar, and started again, the served file "changed" meanwhile or not.
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
    const QByteArray linuxSlow = paddedArchive(linuxInstaller, 384 << 10);
    const QByteArray windowsSlow = paddedArchive(windowsInstaller, 384 << 10);
    row("Linux: a second instance", false, {"second"}, slowly, linuxSlow, {}, {}, update, {});
    row("Linux: the update lock held exclusively", false, {"held"}, slowly, linuxSlow, {}, {},
        update, {});
    row("Linux: a FIFO in place of the update lock", false, {"fifo"}, slowly, linuxSlow, {}, {},
        update, {});
    row("Linux: cancelled with Esc", false, {"Escape"}, slowly, linuxSlow, {}, {}, {}, {});
    row("Linux: Qt's plugin folders named", false, {"plugin"}, LARKSPUR_PLUGINS "/platforms", {},
        {}, "Failed to update.\n\nProtocol \"\" is unknown", {}, {});
    row("Linux: output to a pipe", false, {"pipe"}, "{http}/Update.zip",
        zipfixture::zipped(update, linuxInstaller), {}, {}, update, {});
    const QString noRoom = "Failed to update.\n\nNot enough free disk space: …";
    row("Linux: an update the disk can't hold", false, {"small"}, "{http}/Update.zip",
        QByteArray(4 << 20, 'u'), {}, noRoom, {}, {});
    row("Linux: an installer the disk can't hold", false, {"small"}, "{http}/Update.zip",
        zipfixture::zipped(update, QByteArray(8 << 20, '\0')), {}, noRoom, {}, {});
    // Stopped at 40 % of 64 MiB, after a record every 8 MiB: the next start goes on from
    // there, or starts over when it can't tell that it continues the same file, and whatever it
    // installs is what its URL's digest names.
    const QByteArray large = paddedArchive(linuxInstaller, 64 << 20, 1);
    const QByteArray largeChanged = paddedArchive(linuxInstaller, 64 << 20, 2);
    const QString fast = "{http}/fast/Update.zip";
    row("Linux: killed, started again", false, {"killed"}, fast + "#sha256=" + sha256(large), large,
        {}, {}, update, {});
    row("Linux: killed, the file changed on the server", false, {"killed", "changed"},
        fast + "#sha256=" + sha256(largeChanged), large, {}, {}, update, {});
    row("Linux: killed, no ranges offered", false, {"killed"}, "{http}/plain/Update.zip", large, {},
        {}, update, {});
    // Wine keeps a running installer's file, as Windows does: it stays for a later start.
    row("Wine: a second instance", true, {"second"}, slowly, windowsSlow, {}, {}, update, {update});
    row("Wine: closed midway, started again", true, {"closed"}, fast,
        paddedArchive(windowsInstaller, 64 << 20, 1), {}, {}, update, {update});
    row("Wine: output to a pipe", true, {"pipe"}, "{http}/Update.exe", windowsInstaller, {}, {},
        update, {update});
    row("Wine: cancelled with Esc", true, {"Escape"}, slowly, windowsSlow, {}, {}, {}, {});
    row("Wine: installer over trusted HTTPS, with its digest", true, {},
        "{https}/Update.exe#sha256=" + sha256(windowsInstaller), windowsInstaller, {}, {}, update,
        {update});
    row("Wine: URL outside ASCII", true, {}, "{http}/" + foreign + ".zip",
        zipfixture::zipped(foreign + ".exe", windowsInstaller), {}, {}, foreign + ".exe",
        {foreign + ".exe"});
    // A file elsewhere and a library beside the program, named in the record of leftovers, stay.
    row("Wine: 404, a record of what was never left", true, {"record"}, "{http}/Missing.exe", {},
        {}, notFound, {}, {"Update.dll"});
    row("Wine: untrusted HTTPS", true, {}, "{untrusted}/Update.exe", windowsInstaller, {},
        "Failed to update.\n\nSSL handshake failed", {}, {});
    // Windows loads a library beside a program before its own, and runs any file by its suffix.
    for (const char *name : {"version.dll", "Update", "Update.zip:evil.exe"})
        row(qPrintable(QString("Wine: a file named ") + name), true, {}, QString("{http}/") + name,
            windowsInstaller, {},
            QString("Failed to download the update.\n\nUnsupported file name: ") + name, {}, {});

    // Only the test's proxy knows the host.
    row("Wine: through the user's proxy", true, {"proxy", "open"}, "{named}/Update.exe",
        windowsInstaller, {}, {}, update, {update});
    row("Wine: through the user's proxy, HTTPS", true, {"proxy", "open"}, "{named-tls}/Update.exe",
        windowsInstaller, {}, {}, update, {update});
    row("Wine: a proxy that asks for a password", true, {"proxy", "user:password"},
        "{named-tls}/Update.exe", windowsInstaller, {},
        "Failed to update.\n\nThe proxy server requires a user name and password.", {}, {});

    // A signed program starts only its own publisher's installers, even once its own signature
    // no longer verifies.
    const QString otherPublisher =
        "Failed to update.\n\nThe installer is signed by Other Publisher, not by " + publisher +
        '.';
    const QString unsigned_ = "Failed to update.\n\nThe installer is not signed.";
    row("Wine: signed by the program's publisher", true, {}, "{http}/Update.exe",
        sign(windowsInstaller, "publisher"), "publisher", {}, update, {update});
    row("Wine: signed with the publisher's renewed key", true, {}, "{http}/Update.zip",
        zipfixture::zipped(update, sign(windowsInstaller, "renewed")), "publisher", {}, update,
        {update});
    row("Wine: signed by another publisher", true, {}, "{http}/Update.zip",
        zipfixture::zipped(update, sign(windowsInstaller, "other")), "publisher", otherPublisher,
        {}, {});
    row("Wine: changed after signing", true, {}, "{http}/Update.exe", changed, "publisher",
        "Failed to update.\n\nThe installer's signature is not valid.", {}, {});
    row("Wine: unsigned installer, signed program", true, {}, "{http}/Update.exe", windowsInstaller,
        "publisher", unsigned_, {}, {});
    const QString stubChanged = "publisher, stub changed";
    row("Wine: the publisher's installer, program changed", true, {}, "{http}/Update.exe",
        sign(windowsInstaller, "publisher"), stubChanged, {}, update, {update});
    row("Wine: another publisher's installer, program changed", true, {}, "{http}/Update.zip",
        zipfixture::zipped(update, sign(windowsInstaller, "other")), stubChanged, otherPublisher,
        {}, {});
    row("Wine: unsigned installer, program changed", true, {}, "{http}/Update.exe",
        windowsInstaller, stubChanged, unsigned_, {}, {});
    row("Wine: the program's own signature damaged", true, {}, "{http}/Update.exe",
        sign(windowsInstaller, "publisher"), "publisher, signature damaged",
        "Failed to update.\n\nThe program's own signature can't be read.", {}, {});
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
    // test run may be using, out of reach, and its file systems its own.
    const bool privateTmp = QStringList{"held", "fifo", "small"}.contains(setup.value(0));
    if (privateTmp && geteuid() != 0)
        QSKIP("A mount namespace of the test's own needs root, as CI has.");

    url = this->url(url);
    const QString servedPath = work.filePath("served/" + QUrl(url).fileName());
    QVERIFY(served.isEmpty() ? QFile::remove(servedPath) || !QFile::exists(servedPath)
                             : writeFile(servedPath, served));
    const QString log = work.filePath("installer.log");
    QFile::remove(log);
    QTemporaryDir folder(work.filePath(QStringLiteral("Larkspur \u00dcpdate \u66f4\u65b0-XXXXXX")));
    const QString program = prepare(folder, wine, programSigner);
    QVERIFY2(!program.isEmpty(), qPrintable("No program in " + folder.path()));
    QProcess proxy;
    if (setup.value(0) == "proxy")
        useProxy(proxy, setup.value(1));
    const QString elsewhere = work.filePath("elsewhere.exe");
    if (setup.contains("record")) {
        QVERIFY(writeFile(elsewhere, "x") && writeFile(folder.filePath("Update.dll"), "x"));
        QCOMPARE(runTool({"wine", "reg", "add", settingsKey, "/v", "pendingRemovals", "/t",
                          "REG_MULTI_SZ", "/d",
                          "Z:" + elsewhere + "\\0Z:" + folder.filePath("Update.dll"), "/f"}),
                 0);
    }

    QProcess run;
    start(run, wine, program, url, setup);
    if (url.contains("/slow/")) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(folder.filePath("Update.zip.part")).size() > 0, 20000);
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
    const bool stopped = setup.value(0) == "killed" || setup.value(0) == "closed";
    qint64 recorded = 0;
    if (stopped) {
        const QString part = folder.filePath("Update.zip.part");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() >= served.size() * 2 / 5, 30000);
        // Without a window manager, Wine takes Alt+F4 for the title bar's close button. A killed
        // program gets no word of it: timeout passes its TERM on.
        if (wine)
            QCOMPARE(sendKey(findWindow("^Installing update...$"), "alt+F4"), 0);
        else
            run.terminate();
        QVERIFY(run.waitForFinished(30000));
        recorded =
            QJsonDocument::fromJson(readFile(part + ".json"))["kept"].toString().toLongLong();
        if (setup.contains("changed"))
            QVERIFY(writeFile(servedPath, paddedArchive(linuxInstaller, 64 << 20, 2)));
        QVERIFY(QFile(work.filePath("access.log")).resize(0));
        start(run, wine, program, url);
    }
    if (setup.contains("pipe")) {
        // The pipe ended, and with it the shell, while the installer still runs.
        QVERIFY(run.waitForFinished(60000));
        QVERIFY(!readFile(log).contains("finished"));
    }
    if (setup.value(0) == "Escape")
        QCOMPARE(sendKey(findWindow("^Installing update...$"), "Escape"), 0);
    if (!box.isEmpty())
        answerBox(wine, box, url, folder.path());
    finish(run, folder.path());
    useProxy(proxy, {});
    // The product's probe meets the exclusive lock that stands for a waiting product too.
    const QString expected =
        installed(setup.value(0) == "held" ? "update under way" : "no update under way");
    QTRY_COMPARE_WITH_TIMEOUT(QString(readFile(log)),
                              installer.isEmpty() ? QString() : expected + "finished\n", 30000);
    QStringList files = setup.contains("small")
                            ? QString(readFile(work.filePath("leftovers.txt"))).split('\n')
                            : QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeAll(QFileInfo(program).fileName());
    files.removeAll({});
    QCOMPARE(files, leftovers);
    QVERIFY(!QFile::exists(work.filePath("plugin loaded")));
    if (setup.contains("record"))
        QVERIFY(QFile::remove(elsewhere));
    if (stopped) {
        // The second start's request: the rest of the file from the length on record, or all of
        // it. Only a server that offers ranges gets a record.
        const QString request =
            QString(readFile(work.filePath("access.log"))).trimmed().section('\n', -1);
        const qint64 from = request.section("bytes=", 1).section('-', 0, 0).toLongLong();
        QCOMPARE(recorded > 0, !url.contains("/plain/"));
        QVERIFY2(from == recorded &&
                     request.endsWith(from > 0 && !setup.contains("changed") ? " 206" : " 200"),
                 qPrintable(request));
    }

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
