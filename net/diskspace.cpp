#include "net/diskspace.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

bool DiskSpace::fits(const QString &directory, qint64 needed, QString &error)
{
    // A folder yet to be made will be on the volume of the nearest one that is there.
    QString path = QDir(directory).absolutePath();
    while (!QFileInfo::exists(path) && QFileInfo(path).path() != path)
        path = QFileInfo(path).path();
    const QStorageInfo volume(path);
    const qint64 available = volume.bytesAvailable();
    if (!volume.isValid() || available < 0 || needed <= available)
        return true;
    // Megabytes of a million bytes, as the system's own dialogs count them: the need rounded up
    // and the room down, so that the figures never suggest it fits.
    constexpr qint64 megabyte = 1000000;
    error =
        QStringLiteral("Not enough free disk space: the update needs %1 MB, and %2 MB are free.")
            .arg((needed + megabyte - 1) / megabyte)
            .arg(available / megabyte);
    return false;
}
