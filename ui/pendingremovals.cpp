#include "ui/pendingremovals.h"

#include "net/filenamerule.h"
#include "platform/nativeapi.h"

#include <QFileInfo>
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
    // Any program of the user's can write the record, and a start may run with more rights than
    // they have: only what this program leaves is removed, an installer beside the program itself.
    // Anything else is dropped from the record, untouched.
    const QString folder = QFileInfo(QString::fromStdString(nativeapi::moduleFilePath())).path();
    QStringList kept;
    for (const QString &path : paths) {
        const QString name = QFileInfo(path).fileName();
        if (path != folder + QLatin1Char('/') + name || !FileNameRule::accepts(name) ||
            !name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
            continue;
        if (nativeapi::removePlainFile(path.toStdString()) == nativeapi::RemoveResult::Failed)
            kept.append(path);
    }
    if (kept.isEmpty())
        record.remove(key);
    else
        record.setValue(key, kept);
}
