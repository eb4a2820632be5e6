#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// One run of the real program on the display named by DISPLAY. The program downloads into its
// own folder, so each run starts a copy of it in a fresh folder. The fake installer and the window
// probe write their logs into a second folder, so that the first holds nothing but the program
// and what the program leaves behind.
class ProgramRun
{
public:
    bool start(const QString &url);
    // The exit code, or -1 for a crash or a program still running after the time limit, which
    // is then killed.
    int waitForExit();
    // The installer, once started, keeps running until this.
    bool releaseInstaller() const;

    QString folder() const;
    // The files in the program's folder besides the program.
    QStringList leftovers() const;
    // What the fake installer wrote, empty until it has started.
    QString installerLog() const;
    QString boxLog() const;

private:
    QTemporaryDir programFolder;
    QTemporaryDir logFolder;
    QProcess process;
};
