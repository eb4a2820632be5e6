#include "net/filedownloader.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <sys/resource.h>

// Downloads one URL into a directory with the installer's own FileDownloader and prints the
// process's peak resident memory in KiB. Exits with 1 when the download fails.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL DIRECTORY\n", argv[0]);
        return 2;
    }

    FileDownloader downloader;
    QObject::connect(&downloader, &FileDownloader::finished, &application,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&downloader, &FileDownloader::errorOccurred, &application,
                     [](const QString &error) {
                         std::fprintf(stderr, "%s\n", qPrintable(error));
                         QCoreApplication::exit(1);
                     });
    QString filePath;
    QString error;
    if (!downloader.download(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]),
                             filePath, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const int result = application.exec();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak_rss_kib %ld\n", usage.ru_maxrss);
    return result;
}
