#include "extractioninvariant.h"

#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <cstdint>

namespace {

// The system's minizip carries no coverage instrumentation, so libFuzzer can't see what the
// reader makes of an input. The extractor's answer (which failure, how many bytes were missing)
// is counted in libFuzzer's extra counters instead: an input that draws a new answer counts as
// new coverage.
__attribute__((used, section("__libfuzzer_extra_counters"))) std::uint8_t answers[4096];

} // namespace

// libFuzzer entry: every input is an archive that should hold an entry named setup.exe.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QTemporaryDir workDirectory;
    QFile archive(workDirectory.filePath(QStringLiteral("input.zip")));
    if (!archive.open(QIODevice::WriteOnly) ||
        archive.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        qFatal("can't write %s", qPrintable(archive.fileName()));
    archive.close();
    QString outcome;
    if (!extractionInvariantHolds(archive.fileName(), workDirectory.filePath("out"), outcome))
        qFatal("extraction invariant broken: %s", qPrintable(outcome));
    ++answers[qHash(outcome) % sizeof answers];
    return 0;
}
