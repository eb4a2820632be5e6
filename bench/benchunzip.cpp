#include "archive/unzipper.h"

#include <QString>

#include <cstdio>
#include <cstring>
#include <sys/resource.h>

// Extracts one entry with the installer's own Unzipper and prints the process's peak resident
// memory in KiB. With --idle it prints the peak of the same program having done nothing, the
// baseline the extraction's memory is measured against.
namespace {

long peakResidentKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
        std::printf("peak_rss_kib %ld\n", peakResidentKib());
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ARCHIVE ENTRY DIRECTORY | --idle\n", argv[0]);
        return 2;
    }
    Unzipper unzipper;
    QString error;
    if (!unzipper.openArchive(QString::fromLocal8Bit(argv[1]), error) ||
        !unzipper.extractFile(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                              error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    unzipper.closeArchive();
    std::printf("peak_rss_kib %ld\n", peakResidentKib());
    return 0;
}
