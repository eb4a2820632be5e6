#include "ui/pendingremovals.h"

#include <QFile>
#include <QSettings>
#include <QStringList>

namespace {

const QString key = QStringLiteral("pendingRemovals");

} // namespace

void PendingRemovals::add(const QString &path)
{
    QSettings record;
    QStringList paths = record.value(key).toStringList();
    if (!paths.contains(path))
        paths.append(path);
    record.setValue(key, paths);
}

void PendingRemovals::removeRecorded()
{
    QSettings record;
    const QStringList paths = record.value(key).toStringList();
    if (paths.isEmpty())
        return;
    QStringList kept;
    for (const QString &path : paths)
        if (QFile::exists(path) && !QFile::remove(path))
            kept.append(path);
    if (kept.isEmpty())
        record.remove(key);
    else
        record.setValue(key, kept);
}
