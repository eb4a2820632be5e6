#include "extractioninvariant.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <unzip.h>

namespace {

constexpr int observedEntries = 8;
constexpr int maximumReads = 1024;

// The system's minizip carries no coverage instrumentation, so libFuzzer can't see what the
// reader makes of an input. Every entry is read here and how that went is counted in libFuzzer's
// extra counters, so an input that drives the reader somewhere new counts as new coverage.
__attribute__((used, section("__libfuzzer_extra_counters")))
std::uint8_t readerOutcomes[observedEntries][96];

int resultClass(int result)
{
    switch (result) {
    case UNZ_OK:
        return 0;
    case UNZ_ERRNO:
        return 1;
    case Z_DATA_ERROR:
        return 2;
    case Z_BUF_ERROR:
        return 3;
    case UNZ_BADZIPFILE:
        return 4;
    case UNZ_PARAMERROR:
        return 5;
    default:
        return result > 0 ? 6 : 7;
    }
}

void readEveryEntry(const QString &archivePath)
{
    unzFile archive = unzOpen64(archivePath.toUtf8().constData());
    if (archive == nullptr)
        return;
    char buffer[4096];
    int result = unzGoToFirstFile(archive);
    for (int entry = 0; entry < observedEntries && result == UNZ_OK; ++entry) {
        unz_file_info64 info{};
        unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0);
        const int method = info.compression_method == 0 ? 0 : info.compression_method == 8 ? 1 : 2;
        const bool opened = unzOpenCurrentFile(archive) == UNZ_OK;
        int lastRead = UNZ_OK;
        bool verified = false;
        if (opened) {
            for (int reads = 0; reads < maximumReads; ++reads) {
                lastRead = unzReadCurrentFile(archive, buffer, sizeof buffer);
                if (lastRead <= 0)
                    break;
            }
            verified = unzCloseCurrentFile(archive) == UNZ_OK;
        }
        ++readerOutcomes[entry][((method * 2 + opened) * 8 + resultClass(lastRead)) * 2 + verified];
        result = unzGoToNextFile(archive);
    }
    unzClose(archive);
}

} // namespace

// libFuzzer entry: every input is an archive that should hold an entry named setup.exe.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QTemporaryDir workDirectory;
    const QString archivePath = workDirectory.filePath(QStringLiteral("input.zip"));
    QFile archive(archivePath);
    if (!archive.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        archive.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size)) {
        std::fprintf(stderr, "can't write %s\n", qPrintable(archivePath));
        std::abort();
    }
    archive.close();
    readEveryEntry(archivePath);
    QString failure;
    if (!extractionInvariantHolds(archivePath, QStringLiteral("setup.exe"),
                                  workDirectory.filePath(QStringLiteral("out")), failure)) {
        std::fprintf(stderr, "extraction invariant broken: %s\n", qPrintable(failure));
        std::abort();
    }
    return 0;
}
