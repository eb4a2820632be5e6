#include "runningprograms.h"

#include <QDir>
#include <QFile>

bool programRuns(const QString &commandLinePart)
{
    const QByteArray part = commandLinePart.toUtf8();
    for (const QString &process : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile commandLine("/proc/" + process + "/cmdline");
        if (commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().contains(part))
            return true;
    }
    return false;
}
