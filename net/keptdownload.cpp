#include "net/keptdownload.h"

#include "platform/nativeapi.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace {

// Lengths as decimal text: a JSON number is a double, which can't carry every length exactly.
qint64 length(const QJsonObject &fields, const QString &name)
{
    bool valid = false;
    const qint64 value = fields.value(name).toString().toLongLong(&valid);
    return valid ? value : -1;
}

} // namespace

KeptDownload::KeptDownload(const QString &finalPath) : finalPath(finalPath) {}

bool KeptDownload::read(const QString &url, qint64 fileSize, Record &record) const
{
    // Anyone may have written the record: whatever it says is checked against the request and
    // the file before a byte of the file is trusted. A FIFO in its place would never be read to
    // its end, and the validator goes into a request header, where a line break would start
    // another.
    QFile file(recordPath());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject fields = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    record.url = fields.value(QStringLiteral("url")).toString();
    record.validator = fields.value(QStringLiteral("validator")).toString().toLatin1();
    record.completeLength = length(fields, QStringLiteral("length"));
    record.keptLength = length(fields, QStringLiteral("kept"));
    const bool printable = std::all_of(record.validator.cbegin(), record.validator.cend(),
                                       [](char c) { return c >= ' ' && c <= '~'; });
    return record.url == url && !record.validator.isEmpty() && printable && record.keptLength > 0 &&
           record.keptLength < record.completeLength && record.keptLength <= fileSize;
}

bool KeptDownload::keep(const Record &record) const
{
    if (!nativeapi::flushFile(path().toStdString()))
        return false;
    const QJsonObject fields = {
        {QStringLiteral("url"), record.url},
        {QStringLiteral("validator"), QString::fromLatin1(record.validator)},
        {QStringLiteral("length"), QString::number(record.completeLength)},
        {QStringLiteral("kept"), QString::number(record.keptLength)}};
    // Written beside it and then renamed, once on the disk: a crash leaves the record before.
    QSaveFile file(recordPath());
    const QByteArray text = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

bool KeptDownload::forget() const
{
    return QFile::remove(recordPath()) || !QFile::exists(recordPath());
}

void KeptDownload::remove() const
{
    QFile::remove(path());
    forget();
}

bool KeptDownload::complete(QString &error) const
{
    std::string renameError;
    if (!nativeapi::replaceFile(path().toStdString(), finalPath.toStdString(), renameError)) {
        error = QStringLiteral("Failed to create %1 (%2).")
                    .arg(finalPath, QString::fromStdString(renameError));
        return false;
    }
    forget();
    return true;
}
