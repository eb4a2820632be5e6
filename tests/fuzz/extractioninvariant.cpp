#include "extractioninvariant.h"

#include "archive/unzipper.h"

#include <QFile>
#include <QFileInfo>

#include <unzip.h>

bool extractionInvariantHolds(const QString &archivePath, const QString &directory,
                              QString &outcome)
{
    const QString outputPath = directory + QStringLiteral("/setup.exe");
    outcome.clear();
    Unzipper unzipper;
    const bool extracted = unzipper.openArchive(archivePath, outcome) &&
                           unzipper.extractFile(QStringLiteral("setup.exe"), directory, outcome);
    const qint64 written = QFileInfo::exists(outputPath) ? QFileInfo(outputPath).size() : -1;
    QFile::remove(outputPath);
    // The declared size is asked of minizip itself, with the lookup the extractor makes.
    unz_file_info64 info{};
    unzFile archive = unzOpen64(archivePath.toUtf8().constData());
    unzLocateFile(archive, "setup.exe", 2);
    unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    unzClose(archive);
    if (extracted ? quint64(written) == info.uncompressed_size : written < 0)
        return true;
    outcome = "answered \"" + outcome + "\" but left " + QString::number(written) + " of " +
              QString::number(info.uncompressed_size) + " bytes";
    return false;
}
