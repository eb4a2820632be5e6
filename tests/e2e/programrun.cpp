#include "programrun.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>

namespace {

const char programName[] = "Larkspur Installer";

QString readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

ProgramRun::ProgramRun(QObject *parent) : QObject(parent), process(new QProcess(this)) {}

ProgramRun::~ProgramRun()
{
    releaseInstaller();
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

void ProgramRun::holdInstaller()
{
    installerHeld = true;
}

void ProgramRun::releaseInstaller()
{
    if (!installerHeld)
        return;
    QFile release(logFolder.filePath(QStringLiteral("release-installer")));
    release.open(QIODevice::WriteOnly);
}

bool ProgramRun::start(const QString &url, const QString &display, QString &error)
{
    if (!QFile::copy(QStringLiteral(LARKSPUR_INSTALLER_PATH), programPath())) {
        error = QStringLiteral("the program could not be copied to %1").arg(programPath());
        return false;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (display.isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("DISPLAY"), display);
        // The window draws nothing with OpenGL. The plugin that would bring it leaks, and is
        // unloaded before a sanitizer's leak check could name it in a suppression.
        environment.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    }
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(LARKSPUR_WINDOW_PROBE_PATH));
    // In a sanitizer build the preloaded probe comes before the sanitizer's runtime, which
    // the runtime takes for a mistake unless told otherwise.
    QStringList sanitizerOptions = environment.value(QStringLiteral("ASAN_OPTIONS"))
                                       .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    sanitizerOptions.append(QStringLiteral("verify_asan_link_order=0"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), sanitizerOptions.join(QLatin1Char(':')));
    environment.insert(QStringLiteral("LSAN_OPTIONS"),
                       QStringLiteral("suppressions=" LARKSPUR_LEAK_SUPPRESSIONS));
    environment.insert(QStringLiteral("LARKSPUR_WINDOW_PROBE_LOG"),
                       logFolder.filePath(QStringLiteral("window.jsonl")));
    environment.insert(QStringLiteral("LARKSPUR_FAKE_INSTALLER_LOG"),
                       logFolder.filePath(QStringLiteral("installer.log")));
    if (installerHeld)
        environment.insert(QStringLiteral("LARKSPUR_FAKE_INSTALLER_WAIT_FOR"),
                           logFolder.filePath(QStringLiteral("release-installer")));

    process->setProcessEnvironment(environment);
    // The installer inherits the program's output and says what it received; only the
    // program's error output, where a sanitizer reports, is worth seeing here.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(programPath(), {QStringLiteral("x"), url});
    if (!process->waitForStarted(10000)) {
        error = process->errorString();
        return false;
    }
    return true;
}

bool ProgramRun::waitForExit(int timeout)
{
    // waitForFinished() fails for a program whose end the event loop has already seen.
    if (process->state() == QProcess::NotRunning || process->waitForFinished(timeout))
        return process->exitStatus() == QProcess::NormalExit;
    process->kill();
    process->waitForFinished(5000);
    return false;
}

int ProgramRun::exitCode() const
{
    return process->exitCode();
}

QString ProgramRun::folder() const
{
    return programFolder.path();
}

QString ProgramRun::programPath() const
{
    return programFolder.filePath(QLatin1String(programName));
}

QStringList ProgramRun::leftovers() const
{
    QStringList files = QDir(folder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeOne(QLatin1String(programName));
    return files;
}

QString ProgramRun::installerLog() const
{
    return readFile(logFolder.filePath(QStringLiteral("installer.log")));
}

QList<QJsonObject> ProgramRun::probeRecords(const QString &event) const
{
    QList<QJsonObject> records;
    const QStringList lines = readFile(logFolder.filePath(QStringLiteral("window.jsonl")))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
        if (record.value(QStringLiteral("event")).toString() == event)
            records.append(record);
    }
    return records;
}
