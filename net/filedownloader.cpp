#include "net/filedownloader.h"

FileDownloader::FileDownloader(QObject *parent) : QObject(parent) {}

bool FileDownloader::download(QString url, QString directory, QString &filePath, QString &error)
{
    Q_UNUSED(url);
    Q_UNUSED(directory);
    Q_UNUSED(filePath);
    error = QStringLiteral("not built yet");
    return false;
}

bool FileDownloader::startRequest(QString url)
{
    Q_UNUSED(url);
    return true;
}

void FileDownloader::release() {}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    Q_UNUSED(reply);
}

void FileDownloader::partialDataReady() {}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    Q_UNUSED(bytesTotal);
}
