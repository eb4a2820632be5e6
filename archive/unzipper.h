#pragma once

#include <QObject>
#include <QString>

#include <unzip.h>

// Writes one named entry of a zip archive to a directory, byte for byte.
class Unzipper : public QObject
{
    Q_OBJECT

public:
    explicit Unzipper(QObject *parent = nullptr);
    ~Unzipper() override;

    bool openArchive(QString archivePath, QString &error);
    bool extractFile(QString fileName, QString directory, QString &error);
    void closeArchive();

private:
    unzFile archive = nullptr;
};
