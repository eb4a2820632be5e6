#include "zipfixture.h"

#include <QFile>
#include <QTemporaryDir>

#include <zip.h>

namespace zipfixture {

QByteArray zipped(const QVector<Entry> &entries)
{
    QTemporaryDir folder;
    QFile archive(folder.filePath(QStringLiteral("archive.zip")));
    zipFile zip =
        zipOpen64(QFile::encodeName(archive.fileName()).constData(), APPEND_STATUS_CREATE);
    bool written = zip != nullptr;
    for (const Entry &entry : entries) {
        const zip_fileinfo info{};
        written = written &&
                  zipOpenNewFileInZip2(zip, entry.name.toUtf8().constData(), &info, nullptr, 0,
                                       nullptr, 0, nullptr, entry.method, Z_DEFAULT_COMPRESSION,
                                       entry.raw) == ZIP_OK &&
                  zipWriteInFileInZip(zip, entry.bytes.constData(),
                                      static_cast<unsigned>(entry.bytes.size())) == ZIP_OK &&
                  (entry.raw ? zipCloseFileInZipRaw64(zip, entry.declaredSize, entry.crc)
                             : zipCloseFileInZip(zip)) == ZIP_OK;
    }
    written = zip != nullptr && zipClose(zip, nullptr) == ZIP_OK && written;
    return written && archive.open(QIODevice::ReadOnly) ? archive.readAll() : QByteArray();
}

QByteArray zipped(const QString &name, const QByteArray &data)
{
    return zipped({{name, data}});
}

} // namespace zipfixture
