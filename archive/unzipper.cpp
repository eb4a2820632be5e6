#include "archive/unzipper.h"

#include "net/diskspace.h"
#include "platform/nativeapi.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {

constexpr int bufferSize = 262144;

// unzLocateFile's own case-insensitive comparison: a-z fold to upper case, every other byte is
// compared exactly, on every platform.
constexpr int caseInsensitive = 2;

// minizip's stdio functions hand the path to fopen, which on Windows reads it in the ANSI code
// page; the platform layer takes UTF-8. The other stdio functions work on the FILE it returns.
voidpf ZCALLBACK openArchiveFile(voidpf, const void *path, int mode)
{
    if (path == nullptr || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    return nativeapi::openFile(static_cast<const char *>(path), "rb");
}

bool writeAll(QFile &file, const char *data, qint64 size, QString &error)
{
    // A write that stops short (a file size limit, a full disk) is retried so that the next
    // write reports why.
    while (size > 0) {
        const qint64 written = file.write(data, size);
        if (written <= 0) {
            error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool copyCurrentEntry(unzFile archive, QFile &file, quint64 declaredSize, QString &error)
{
    QByteArray buffer(bufferSize, '\0');
    quint64 remaining = declaredSize;
    quint64 written = 0;
    while (remaining != 0) {
        const auto chunk = static_cast<unsigned>(std::min<quint64>(remaining, bufferSize));
        remaining -= chunk;
        const int read = unzReadCurrentFile(archive, buffer.data(), chunk);
        if (read == UNZ_ERRNO) {
            const int readError = errno;
            error = QStringLiteral("Error code 5 (%1).").arg(readError);
            return false;
        }
        if (read < 0) {
            error = QStringLiteral("Error code 6.");
            return false;
        }
        if (read == 0) {
            if (remaining == 0)
                break;
            error = QStringLiteral("Error code 7 (%1").arg(remaining);
            return false;
        }
        if (!writeAll(file, buffer.constData(), read, error))
            return false;
        written += static_cast<quint64>(read);
    }
    // minizip delivers at most the declared size, so less means the entry's data ended early;
    // such a file is not the entry.
    if (written != declaredSize) {
        error = QStringLiteral("Error code 7 (%1").arg(declaredSize - written);
        return false;
    }
    return true;
}

} // namespace

Unzipper::Unzipper(QObject *parent) : QObject(parent) {}

Unzipper::~Unzipper()
{
    closeArchive();
}

bool Unzipper::openArchive(QString archivePath, QString &error)
{
    closeArchive();
    zlib_filefunc64_def fileFunctions;
    fill_fopen64_filefunc(&fileFunctions);
    fileFunctions.zopen64_file = openArchiveFile;
    archive = unzOpen2_64(archivePath.toUtf8().constData(), &fileFunctions);
    if (archive == nullptr) {
        error = QStringLiteral("Error code 1.");
        return false;
    }
    return true;
}

bool Unzipper::extractFile(QString fileName, QString directory, QString &error)
{
    if (archive == nullptr) {
        error = QStringLiteral("Error code 2.");
        return false;
    }
    int result = unzLocateFile(archive, fileName.toUtf8().constData(), caseInsensitive);
    unz_file_info64 info{};
    if (result == UNZ_OK)
        result = unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK) {
        error = QStringLiteral("Error code 3 (%1).").arg(result);
        return false;
    }
    // minizip built without bzip2 hands out a bzip2 entry's compressed bytes as its data and
    // skips their CRC check, and without a password it reads an encrypted entry as plain data.
    const bool encrypted = (info.flag & 1) != 0;
    if ((info.compression_method != 0 && info.compression_method != Z_DEFLATED) || encrypted) {
        error = QStringLiteral("Error code 4 (%1).").arg(UNZ_BADZIPFILE);
        return false;
    }
    // The entry's size from the archive's directory, against the room for it, before a byte is
    // written.
    const quint64 largest = std::numeric_limits<qint64>::max();
    if (!DiskSpace::fits(directory, qint64(std::min(info.uncompressed_size, largest)), error))
        return false;
    result = unzOpenCurrentFile(archive);
    if (result != UNZ_OK) {
        error = QStringLiteral("Error code 4 (%1).").arg(result);
        return false;
    }

    if (!QDir().mkpath(directory)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(directory);
        unzCloseCurrentFile(archive);
        return false;
    }
    const QString outputPath = directory + QLatin1Char('/') + fileName;
    QFile file(outputPath);
    // Unbuffered: a buffered QFile holds a short last chunk back until close(), where a full disk
    // or a file size limit shows only as a short write, without its cause.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        // One arg() call for both values, so that a "%2" inside the path stays as it is.
        error = QStringLiteral("Failed to create %1 (%2).").arg(outputPath, file.errorString());
        unzCloseCurrentFile(archive);
        return false;
    }

    bool extracted = copyCurrentEntry(archive, file, info.uncompressed_size, error);
    file.close();
    if (extracted && file.error() != QFileDevice::NoError) {
        error = QStringLiteral("Error code 8 (%1)").arg(file.errorString());
        extracted = false;
    }
    // minizip compares the CRC-32 here, once the whole declared size has been read.
    if (unzCloseCurrentFile(archive) != UNZ_OK && extracted) {
        error = QStringLiteral("Error code 6.");
        extracted = false;
    }
    if (!extracted)
        file.remove();
    return extracted;
}

void Unzipper::closeArchive()
{
    if (archive == nullptr)
        return;
    unzClose(archive);
    archive = nullptr;
}
