#include "net/keptdownload.h"

#include "platform/nativeapi.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

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
    // the file before a byte of the file is trusted.
    QFile file(recordPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject fields = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    record.url = fields.value(QStringLiteral("url")).toString();
    record.validator = fields.value(QStringLiteral("validator")).toString().toLatin1();
    record.completeLength = length(fields, QStringLiteral("length"));
    record.keptLength = length(fields, QStringLiteral("kept"));
    return record.url == url && !record.validator.isEmpty() && record.keptLength > 0 &&
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
    // A record cut short by a crash can't be read, and the download starts over.
    QFile file(recordPath());
    const QByteArray text = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

void KeptDownload::forget() const
{
    QFile::remove(recordPath());
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
