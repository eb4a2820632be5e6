#include "net/filedownloader.h"
#include "testsupport.h"
#include "ui/installerwindow.h"
#include "ui/pendingremovals.h"
#include "zipfixture.h"

#include <QtTest>

#include <QAccessible>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>

#include <cerrno>
#include <cstring>
#include <dlfcn.h>

// This program's own unlink(), ahead of the C library's for Qt as well: a file named
// "unremovable" can't be removed while removals are refused, as a running installer's file can't
// be on Windows, whatever the rights of the user.
static bool refuseRemovals = false;
extern "C" int unlink(const char *path)
{
    const char *name = std::strrchr(path, '/');
    if (refuseRemovals && name && std::strcmp(name, "/unremovable") == 0) {
        errno = EPERM;
        return -1;
    }
    static const auto next = reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_NEXT, "unlink"));
    return next(path);
}

static const QString lockPath = QStringLiteral("/tmp/fernhollow_larkspur_updater_mutex");

// This process's descriptors on the update lock, which each window takes while it works, and on
// the downloaded files in `folder`. The installer must inherit none: the window still holds the
// download's lock while it starts the installer.
static int lockDescriptors(const QString &folder = {})
{
    int count = 0;
    for (const QFileInfo &fd :
         QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System)) {
        const QString target = fd.symLinkTarget();
        count += target == lockPath || (QFileInfo(target).path() == folder &&
                                        target.contains("pdate", Qt::CaseInsensitive));
    }
    return count;
}

// The files the window left in its folder, which is this program's.
static QStringList leftovers()
{
    return QDir(QCoreApplication::applicationDirPath())
        .entryList({"update*", "unremovable*"}, QDir::Files | QDir::System);
}

// The window and the whole update in process: the update is served from 127.0.0.1 and the
// installer is a copy of this program, which then only writes down what it was given.
class InstallerWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void update_data();
    void update();
    void downloading();
    void pendingRemovals();
    void wrongArgumentCount();

private:
    // Takes every connection and never answers: a download stays under way.
    QTcpServer silentServer;
    QTimer boxWatcher;
    QStringList boxes;
    QTemporaryDir logs;
};

void InstallerWindowTest::initTestCase()
{
    QVERIFY(silentServer.listen(QHostAddress::LocalHost));
    qputenv("LARKSPUR_INSTALLER_LOG", QFile::encodeName(logs.filePath("installer.log")));
    // Writes down each box as the user sees it, and closes it from the keyboard.
    connect(&boxWatcher, &QTimer::timeout, this, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isActiveWindow())
            return;
        const QList<QAbstractButton *> buttons = box->buttons();
        // A critical box with one button, a green pill, as the user is meant to see it: the
        // button's style sheet rule applies only once the button is polished under its name.
        const auto greenPill = [](QAbstractButton *button) {
            const QImage pill = button->grab().toImage();
            const QColor padding = pill.pixelColor(16, pill.height() / 2);
            return padding.green() > 150 && padding.red() < 120;
        };
        // A screen reader reads it as an alert, with its text.
        QAccessibleInterface *alert = QAccessible::queryAccessibleInterface(box);
        bool textRead = false;
        for (int i = 0; i < alert->childCount(); ++i)
            textRead |= alert->child(i)->text(QAccessible::Name) == box->text();
        const bool expected = box->icon() == QMessageBox::Critical && buttons.size() == 1 &&
                              greenPill(buttons.first()) &&
                              alert->role() == QAccessible::AlertMessage && textRead;
        boxes << box->windowTitle() + " | " + (expected ? buttons.first()->text() : "?") + " | " +
                     box->text() + " | lock descriptors " + QString::number(lockDescriptors());
        // Closed from the keyboard, with Enter and Esc in turn.
        static int closed = 0;
        QTest::keyClick(box->focusWidget(), ++closed % 2 ? Qt::Key_Return : Qt::Key_Escape);
        if (box->isVisible()) {
            boxes.last() += " | stays open";
            box->reject();
        }
    });
    boxWatcher.start(10);
}

void InstallerWindowTest::cleanup()
{
    refuseRemovals = false;
    for (const QString &file : leftovers())
        QFile::remove(QCoreApplication::applicationDirPath() + '/' + file);
    QFile::remove(logs.filePath("installer.log"));
    boxes.clear();
}

void InstallerWindowTest::update_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("expectedBox");
    QTest::addColumn<QStringList>("expectedLeftovers");
    QTest::addColumn<QString>("installer");
    const auto row = [](const char *tag, const char *name, const QByteArray &served,
                        const char *box, const QStringList &leftovers, const char *installer) {
        QTest::newRow(tag) << name << served << box << leftovers << installer;
    };
    const QByteArray installer = readFile(QCoreApplication::applicationFilePath());
    const QByteArray archive = zipfixture::zipped("Update.exe", installer);
    row("zip archive", "Update.zip", archive, "", {}, "runs");
    row("zip suffix in capitals", "Update.ZIP", archive, "", {}, "runs");
    row("zip before the suffix", "update.zip.exe", installer, "", {}, "runs");
    row("installer that can't be started", "Update.zip",
        zipfixture::zipped("Update.exe", "neither a program nor a script"),
        "Failed to start the installer.\n\n{folder}/Update.exe", {}, "fails to start");
    row("installer that can't be removed", "unremovable", installer,
        "Failed to remove file.\n\n{folder}/unremovable", {"unremovable"}, "runs");
    row("archive without the installer", "Update.zip", zipfixture::zipped("Readme.txt", "none"),
        "Failed to update.\n\nError code 3 (-100).", {}, "not started");
    row("not a zip archive but named like one", "Update.zip", "plain text",
        "Failed to update.\n\nError code 1.", {"Update.zip"}, "not started");
    row("download fails", "Update.zip", QByteArray(), "Failed to update.\n\nConnection closed", {},
        "not started");
    row("download that can't start", "", "",
        "Failed to download the update.\n\nUnsupported file name: ", {}, "not started");
}

void InstallerWindowTest::update()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, served);
    QFETCH(QString, expectedBox);
    QFETCH(QStringList, expectedLeftovers);
    QFETCH(QString, installer);

    const QString url =
        QStringLiteral("http://127.0.0.1:%1/").arg(silentServer.serverPort()) + name;
    const int locksBefore = lockDescriptors();
    {
        InstallerWindow window(QStringLiteral("x"), url);
        window.show();
        // The download ends as the downloader ends it: the served bytes under the file's own
        // name and finished(); or an error.
        auto *downloader = window.findChild<FileDownloader *>();
        const QString path = QCoreApplication::applicationDirPath() + '/' + name;
        refuseRemovals = true;
        if (served.isNull())
            emit downloader->errorOccurred("Connection closed");
        else if (writeFile(path, served))
            emit downloader->finished();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 20000);
    }
    // The lock goes before the installer starts; every other way out keeps it to the end.
    const int locksAfter = locksBefore + (installer == "not started" ? 1 : 0);
    QCOMPARE(lockDescriptors(), locksAfter);
    // Each failure is shown once, and the window closes after it.
    expectedBox.replace("{folder}", QCoreApplication::applicationDirPath());
    QCOMPARE(boxes, expectedBox.isEmpty()
                        ? QStringList()
                        : QStringList{"Larkspur Installer | CLOSE | " + expectedBox +
                                      " | lock descriptors " + QString::number(locksAfter)});
    QCOMPARE(leftovers(), expectedLeftovers);
    // The installer writes down what it was given once it runs.
    QTRY_COMPARE_WITH_TIMEOUT(
        readFile(logs.filePath("installer.log")),
        QByteArray(installer == "runs" ? "/VERYSILENT /SP-, update descriptors 0\n" : ""), 10000);
}

void InstallerWindowTest::downloading()
{
    const int locksBefore = lockDescriptors();
    const QString url =
        QStringLiteral("http://127.0.0.1:%1/Update.zip").arg(silentServer.serverPort());
    InstallerWindow window(QStringLiteral("x"), url);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(leftovers(), QStringList{"Update.zip.part"});
    // An update under way: the product's probe from the README is refused, a second instance
    // would still get its share.
    QCOMPARE(lockDescriptors(), locksBefore + 1);
    const auto probe = [](const char *mode) {
        return QProcess::execute("timeout", {"10", "flock", "--nonblock", mode, lockPath, "true"});
    };
    QCOMPARE(probe("--exclusive"), 1);
    QCOMPARE(probe("--shared"), 0);

    // The logo, and a dialog with a title bar.
    QVERIFY(!window.findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(window.windowFlags() & ~Qt::WindowSystemMenuHint, Qt::Dialog | Qt::WindowTitleHint);

    // The bar counts thousandths, at least 30 once a size is known; a report it can't show
    // leaves it where it was.
    const quint64 reports[][3] = {{0, 0, 0},         {0, 4096, 30},  {4219, 10000, 421},
                                  {8193, 4096, 421}, {1, ~0ULL, 30}, {3ULL << 30, 4ULL << 30, 750},
                                  {4096, 0, 750}};
    auto *downloader = window.findChild<FileDownloader *>();
    for (const auto &report : reports) {
        emit downloader->downloadProgress(report[0], report[1]);
        QCOMPARE(window.findChild<QProgressBar *>()->value(), int(report[2]));
    }

    // What the user reads, as a screen reader reads it too: each part's role, name and value,
    // the focus on the button from the start, and the bar in percent.
    const auto read = [](QAccessibleInterface *part) {
        QString line;
        QDebug(&line).noquote() << part->role() << part->text(QAccessible::Name)
                                << part->text(QAccessible::Value) << bool(part->state().focused);
        return line.trimmed();
    };
    QAccessibleInterface *form = QAccessible::queryAccessibleInterface(window.centralWidget());
    QStringList parts = {read(form->parent())};
    for (int i = 0; i < form->childCount(); ++i)
        parts << read(form->child(i));
    QCOMPARE(parts, QStringList({"QAccessible::Window Installing update...  false",
                                 "QAccessible::Button CANCEL UPDATE  true",
                                 "QAccessible::Graphic Larkspur logo  false",
                                 "QAccessible::ProgressBar Update progress 75% false",
                                 "QAccessible::StaticText Installing update...  false"}));

    // A second instance touches nothing of the file the first is writing, and says why.
    QVERIFY(window.findChild<FileDownloader *>()->findChild<QFile *>()->write("arrived") == 7);
    {
        InstallerWindow second(QStringLiteral("x"), url);
        second.show();
        QTRY_VERIFY_WITH_TIMEOUT(!second.isVisible(), 10000);
    }
    const QString path = QCoreApplication::applicationDirPath() + "/Update.zip";
    QCOMPARE(boxes, QStringList{"Larkspur Installer | CLOSE | Failed to download the update.\n\n"
                                "Another update is already downloading " +
                                path + ". | lock descriptors " + QString::number(locksBefore + 2)});
    boxes.clear();
    QCOMPARE(readFile(path + ".part"), QByteArray("arrived"));
    QVERIFY(window.isVisible());

    // Cancelling with Enter on the focused button removes what has arrived and ends the program.
    QTest::keyClick(window.focusWidget(), Qt::Key_Return);
    QVERIFY(!window.isVisible());
    QCOMPARE(leftovers(), QStringList());
    QCOMPARE(boxes, QStringList());
}

void InstallerWindowTest::pendingRemovals()
{
    // Settings of the test's own, never the user's. The record names an installer left beside the
    // program, and what another program of the user's may have added: a file elsewhere, a library
    // beside the program, and a link beside it to a file elsewhere.
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir elsewhere;
    const QString folder = QCoreApplication::applicationDirPath();
    const QStringList untouched = {elsewhere.filePath("Update.exe"), folder + "/update.dll"};
    for (const QString &path : untouched + QStringList{folder + "/update.exe"})
        QVERIFY(writeFile(path, "installer"));
    QVERIFY(QFile::link(untouched.first(), folder + "/update-link.exe"));
    for (const QString &path :
         untouched + QStringList{folder + "/update-link.exe", folder + "/update.exe"})
        PendingRemovals::add(path);
    PendingRemovals::removeRecorded();
    QCOMPARE(leftovers(), QStringList({"update-link.exe", "update.dll"}));
    QVERIFY(QFile::exists(untouched.first()));
    QVERIFY(!QSettings().contains("pendingRemovals"));
}

void InstallerWindowTest::wrongArgumentCount()
{
    // Without a platform plugin any QApplication aborts, so exit code 255 (-1) shows that the
    // program stopped before it created one, and nothing could have been shown.
    const QStringList run = {"QT_QPA_PLATFORM=no-such-platform", "timeout", "30",
                             LARKSPUR_INSTALLER_PATH};
    QCOMPARE(QProcess::execute("env", run + QStringList{"x"}), 255);
    QCOMPARE(QProcess::execute("env", run + QStringList{"x", "http://127.0.0.1:9/U.zip", "x"}),
             255);
}

int main(int argc, char *argv[])
{
    // Started by a window under test as the update's installer: write down what came along.
    if (qEnvironmentVariableIsSet("LARKSPUR_INSTALLER_LOG")) {
        QFile log(qEnvironmentVariable("LARKSPUR_INSTALLER_LOG"));
        const QByteArray record =
            QByteArrayList(argv + 1, argv + argc).join(' ') + ", update descriptors " +
            QByteArray::number(lockDescriptors(QFileInfo(argv[0]).absolutePath()));
        return log.open(QIODevice::Append) && log.write(record + '\n') > 0 ? 0 : 1;
    }
    QApplication application(argc, argv);
    InstallerWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installerwindow.moc"
