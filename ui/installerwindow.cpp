#include "ui/installerwindow.h"

#include "archive/unzipper.h"
#include "net/filedownloader.h"
#include "platform/nativeapi.h"
#include "ui/accessibleprogressbar.h"
#include "ui/messagebox.h"
#include "ui/pendingremovals.h"
#include "ui_installerwindow.h"

#include <QFile>
#include <QFileInfo>
#include <QShortcut>

namespace {

// Other processes look for this name to tell that an update is under way.
const char *const updaterMutexName = "Global\\fernhollow_larkspur_updater_mutex";

nativeapi::MutexHandle updaterMutex;

} // namespace

InstallerWindow::InstallerWindow(QString firstArgument, QString url, QWidget *parent)
    : QMainWindow(parent), firstArgument(firstArgument)
{
    // An earlier update's installer may have ended since and left its file behind.
    PendingRemovals::removeRecorded();

    AccessibleProgressBar::install();
    ui = new Ui_InstallerWindow;
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
    // Esc cancels as the button does, whatever cancelling comes to mean.
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this,
            &InstallerWindow::on_buttonCancel_clicked);
    updaterMutex = nativeapi::createNamedMutex(updaterMutexName);
    ui->progressBar->setValue(0);

    downloader = new FileDownloader(this);
    connect(downloader, &FileDownloader::finished, this, &InstallerWindow::on_downloadFinished);
    connect(downloader, &FileDownloader::errorOccurred, this, &InstallerWindow::on_errorOccurred);
    connect(downloader, &FileDownloader::downloadProgress, this, &InstallerWindow::on_progress);

    const QString folder = QFileInfo(moduleFilePath()).path();
    QString error;
    if (!downloader->download(url, folder, filePath, error)) {
        report(tr("Failed to download the update.\n\n%1").arg(error));
        // The caller shows the window only after the constructor returns; a close now would
        // be undone by that show, so it waits for the event loop.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

InstallerWindow::~InstallerWindow()
{
    delete ui;
    if (downloader)
        downloader->deleteLater();
}

QString InstallerWindow::moduleFilePath()
{
    return QString::fromStdString(nativeapi::moduleFilePath());
}

void InstallerWindow::on_buttonCancel_clicked()
{
    // Neither the click nor Esc arrives from inside one of the downloader's own signals, so the
    // download can end at once, and with it what it wrote.
    if (downloader)
        downloader->cancel();
    delete downloader;
    downloader = nullptr;
    close();
}

void InstallerWindow::on_downloadFinished()
{
    QString programPath = filePath;
    const bool isArchive = filePath.right(4).toLower() == QLatin1String(".zip");
    if (isArchive) {
        programPath = filePath.left(filePath.size() - 4) + QLatin1String(".exe");
        Unzipper unzipper(nullptr);
        QString error;
        if (!unzipper.openArchive(filePath, error)) {
            report(tr("Failed to update.\n\n%1").arg(error));
            close();
            return;
        }
        const QFileInfo program(programPath);
        if (!unzipper.extractFile(program.fileName(), program.path(), error)) {
            report(tr("Failed to update.\n\n%1").arg(error));
            unzipper.closeArchive();
            QFile::remove(filePath);
            downloader->unlockFile();
            close();
            return;
        }
        unzipper.closeArchive();
    }

    // Checked while the update is still marked as under way, and held from the check to the
    // start.
    nativeapi::FileHandle installer;
    const nativeapi::InstallerCheck check =
        nativeapi::checkInstaller(programPath.toStdString(), installer);
    if (check.verdict != nativeapi::InstallerCheck::Accepted) {
        nativeapi::closeFile(installer);
        if (isArchive)
            QFile::remove(filePath);
        QFile::remove(programPath);
        downloader->unlockFile();
        report(tr("Failed to update.\n\n%1").arg(refusal(check)));
        close();
        return;
    }

    nativeapi::closeNamedMutex(updaterMutex);

    nativeapi::allowExecution(programPath.toStdString());
    std::int64_t processId = 0;
    std::string startError;
    const bool started = nativeapi::startDetached(programPath.toStdString(),
                                                  {"/VERYSILENT", "/SP-"}, processId, startError);
    nativeapi::closeFile(installer);

    // Removed before the lock on the download goes, so that no second instance starts on a file
    // that is about to go.
    if (isArchive)
        QFile::remove(filePath);
    bool removed = QFile::remove(programPath);
    downloader->unlockFile();
    // Windows keeps a running installer's file; it goes at a later start of the program.
    if (!removed && started && nativeapi::holdsOwnFile(processId)) {
        PendingRemovals::add(programPath);
        removed = true;
    }

    if (!started)
        report(tr("Failed to start the installer.\n\n%1").arg(programPath));
    if (!removed)
        report(tr("Failed to remove file.\n\n%1").arg(programPath));
    close();
}

QString InstallerWindow::refusal(const nativeapi::InstallerCheck &check)
{
    switch (check.verdict) {
    case nativeapi::InstallerCheck::NotSigned:
        return tr("The installer is not signed.");
    case nativeapi::InstallerCheck::OwnSignatureUnreadable:
        return tr("The program's own signature can't be read.");
    case nativeapi::InstallerCheck::OtherSigner:
        return tr("The installer is signed by %1, not by %2.")
            .arg(QString::fromStdString(check.installerSigner),
                 QString::fromStdString(check.programSigner));
    default:
        return tr("The installer's signature is not valid.");
    }
}

void InstallerWindow::on_errorOccurred(QString error)
{
    report(tr("Failed to update.\n\n%1").arg(error));
    close();
}

void InstallerWindow::on_progress(quint64 bytesReceived, quint64 bytesTotal)
{
    if (bytesTotal == 0)
        return;
    // Unsigned 64-bit throughout; a result above 1000 is ignored by the bar.
    int value = static_cast<int>(bytesReceived * 1000 / bytesTotal);
    if (value < 30)
        value = 30;
    ui->progressBar->setValue(value);
}

void InstallerWindow::report(const QString &message)
{
    showMessage(this, QStringLiteral("Larkspur Installer"), message, true, QMessageBox::Close,
                QStringLiteral("CLOSE"), QString(), QMessageBox::NoButton, QString(), QString(),
                QMessageBox::NoButton, QString(), QString(), QMessageBox::NoButton);
}
