#include "extractioninvariant.h"

#include "archive/unzipper.h"

#include <QFile>
#include <QFileInfo>

#include <unzip.h>

namespace {

// Asked of minizip directly, so that a wrong size reported by the extractor can't hide itself.
bool declaredSize(const QString &archivePath, const QString &entryName, quint64 &size)
{
    unzFile archive = unzOpen64(archivePath.toUtf8().constData());
    if (archive == nullptr)
        return false;
    unz_file_info64 info{};
    const bool found =
        unzLocateFile(archive, entryName.toUtf8().constData(), 2) == UNZ_OK &&
        unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK;
    unzClose(archive);
    size = info.uncompressed_size;
    return found;
}

} // namespace

bool extractionInvariantHolds(const QString &archivePath, const QString &entryName,
                              const QString &directory, QString &failure)
{
    const QString outputPath = directory + QLatin1Char('/') + entryName;
    Unzipper unzipper;
    QString error;
    const bool extracted = unzipper.openArchive(archivePath, error) &&
                           unzipper.extractFile(entryName, directory, error);
    unzipper.closeArchive();
    const QFileInfo output(outputPath);
    quint64 size = 0;
    QString problem;
    if (!extracted && output.exists())
        problem = QStringLiteral("failed with \"%1\" but left %2").arg(error, outputPath);
    else if (extracted && !declaredSize(archivePath, entryName, size))
        problem = QStringLiteral("reported an entry written that minizip can't find");
    else if (extracted && static_cast<quint64>(output.size()) != size)
        problem = QStringLiteral("wrote %1 bytes of an entry declared as %2 bytes")
                      .arg(output.size())
                      .arg(size);
    QFile::remove(outputPath);
    if (problem.isEmpty())
        return true;
    failure = problem;
    return false;
}
