#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

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

QString sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

bool programRuns(const QString &commandLinePart)
{
    const QByteArray part = commandLinePart.toUtf8();
    for (const QString &process : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs))
        if (readFile("/proc/" + process + "/cmdline").contains(part))
            return true;
    return false;
}
