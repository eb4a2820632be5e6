#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

// One run of the real program. The program downloads into its own folder, so each run copies
// it into a fresh folder and starts the copy there. The fake installer and the window probe
// write their logs into a second folder, so that the first holds nothing but the program and
// what the program leaves behind.
class ProgramRun : public QObject
{
    Q_OBJECT

public:
    explicit ProgramRun(QObject *parent = nullptr);
    ~ProgramRun() override;

    // The installer keeps running, once started, until releaseInstaller().
    void holdInstaller();
    void releaseInstaller();

    // An empty display runs the program on the offscreen platform.
    bool start(const QString &url, const QString &display, QString &error);
    // False when the program is still running after the time limit; it is killed then.
    bool waitForExit(int timeout = 30000);
    int exitCode() const;

    QString folder() const;
    QString programPath() const;
    // The files in the program's folder besides the program.
    QStringList leftovers() const;
    // What the fake installer wrote, empty until it has started.
    QString installerLog() const;
    // What the window probe saw, one object per record with this "event" value.
    QList<QJsonObject> probeRecords(const QString &event) const;

private:
    QTemporaryDir programFolder;
    QTemporaryDir logFolder;
    QProcess *process;
    bool installerHeld = false;
};
