#include "archive/unzipper.h"

Unzipper::Unzipper(QObject *parent) : QObject(parent) {}

Unzipper::~Unzipper()
{
    closeArchive();
}

bool Unzipper::openArchive(QString archivePath, QString &error)
{
    Q_UNUSED(archivePath);
    error = QStringLiteral("Error code 1.");
    return false;
}

bool Unzipper::extractFile(QString fileName, QString directory, QString &error)
{
    Q_UNUSED(fileName);
    Q_UNUSED(directory);
    error = QStringLiteral("Error code 2.");
    return false;
}

void Unzipper::closeArchive() {}
