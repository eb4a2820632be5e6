#include "extractioninvariant.h"

#include "archive/unzipper.h"

#include <QFile>
#include <QFileInfo>

#include <unzip.h>

bool extractionInvariantHolds(const QString &archivePath, const QString &entryName,
                              const QString &directory, QString &failure)
{
    const QString outputPath = directory + QLatin1Char('/') + entryName;
    QString error;
    Unzipper unzipper;
    const bool extracted = unzipper.openArchive(archivePath, error) &&
                           unzipper.extractFile(entryName, directory, error);
    const qint64 written = QFileInfo::exists(outputPath) ? QFileInfo(outputPath).size() : -1;
    QFile::remove(outputPath);
    if (!extracted) {
        failure = QStringLiteral("failed with \"%1\" but left %2").arg(error, outputPath);
        return written < 0;
    }
    // The declared size is asked of minizip itself, with the lookup that just succeeded.
    unz_file_info64 info{};
    unzFile archive = unzOpen64(archivePath.toUtf8().constData());
    unzLocateFile(archive, entryName.toUtf8().constData(), 2);
    unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    unzClose(archive);
    failure =
        QStringLiteral("wrote %1 of %2 declared bytes").arg(written).arg(info.uncompressed_size);
    return static_cast<quint64>(written) == info.uncompressed_size;
}
