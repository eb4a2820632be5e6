#include "programrun.h"

#include <QDir>
#include <QFile>

namespace {

const QString programName = QStringLiteral("Larkspur Installer");

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

bool ProgramRun::start(const QString &url)
{
    const QString programPath = programFolder.filePath(programName);
    if (!QFile::copy(QStringLiteral(LARKSPUR_INSTALLER_PATH), programPath))
        return false;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    // The window draws nothing with OpenGL. The plugin that would bring it leaks, and is unloaded
    // before a sanitizer's leak check could name it in a suppression.
    environment.insert("QT_XCB_GL_INTEGRATION", "none");
    environment.insert("LD_PRELOAD", LARKSPUR_WINDOW_PROBE_PATH);
    // In a sanitizer build the preloaded probe comes before the sanitizer's runtime, which the
    // runtime takes for a mistake unless told otherwise.
    environment.insert("ASAN_OPTIONS",
                       environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    environment.insert("LSAN_OPTIONS", "suppressions=" LARKSPUR_LEAK_SUPPRESSIONS);
    environment.insert("LARKSPUR_WINDOW_PROBE_LOG", logFolder.filePath("boxes.log"));
    environment.insert("LARKSPUR_FAKE_INSTALLER_LOG", logFolder.filePath("installer.log"));
    environment.insert("LARKSPUR_FAKE_INSTALLER_WAIT_FOR", logFolder.filePath("release"));
    process.setProcessEnvironment(environment);
    // The installer inherits the program's output and says what it received; only the program's
    // error output, where a sanitizer reports, is worth seeing here.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(programPath, {"x", url});
    return process.waitForStarted(10000);
}

int ProgramRun::waitForExit()
{
    // waitForFinished() fails for a program whose end the event loop has already seen.
    if (process.state() == QProcess::NotRunning || process.waitForFinished(30000))
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    process.kill();
    process.waitForFinished(5000);
    return -1;
}

bool ProgramRun::releaseInstaller() const
{
    return QFile(logFolder.filePath("release")).open(QIODevice::WriteOnly);
}

QString ProgramRun::folder() const
{
    return programFolder.path();
}

QStringList ProgramRun::leftovers() const
{
    QStringList files = QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeOne(programName);
    return files;
}

QString ProgramRun::installerLog() const
{
    return readFile(logFolder.filePath("installer.log"));
}

QString ProgramRun::boxLog() const
{
    return readFile(logFolder.filePath("boxes.log"));
}
