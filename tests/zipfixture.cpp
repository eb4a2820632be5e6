#include "zipfixture.h"

#include <zip.h>

namespace zipfixture {

bool write(const QString &path, const QVector<Entry> &entries)
{
    zipFile zip = zipOpen64(path.toUtf8().constData(), APPEND_STATUS_CREATE);
    if (zip == nullptr)
        return false;
    bool written = true;
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
    return zipClose(zip, nullptr) == ZIP_OK && written;
}

} // namespace zipfixture
