#pragma once

#include <QByteArray>
#include <QString>

// A download on its way to its final name. It is written under that name with ".part" appended,
// which nothing runs or loads, and beside it lies a record (".part.json") of what a later start
// needs to continue it: the product's URL without its fragment, the validator and complete length
// that the file's first answer gave, and how much of the file is known to be on the disk.
class KeptDownload
{
public:
    struct Record
    {
        QString url;
        QByteArray validator;
        qint64 completeLength = 0;
        qint64 keptLength = 0;
    };

    explicit KeptDownload(const QString &finalPath = QString());

    QString path() const { return finalPath + QStringLiteral(".part"); }
    QString recordPath() const { return path() + QStringLiteral(".json"); }
    // The record of a download of this URL, when the file, `fileSize` bytes long, bears it out.
    bool read(const QString &url, qint64 fileSize, Record &record) const;
    // Brings the file to the disk, then records it: the record never counts a byte that a power
    // cut could take back.
    bool keep(const Record &record) const;
    // Whether no record is left.
    bool forget() const;
    // The file and its record.
    void remove() const;
    // Gives the complete file its final name and forgets the record.
    bool complete(QString &error) const;

private:
    QString finalPath;
};
