#include "zipfixture.h"

#include <QFile>
#include <QtEndian>

#include <zip.h>
#include <zlib.h>

namespace zipfixture {

namespace {

bool writableMethod(int method)
{
    return method == 0 || method == Z_DEFLATED;
}

// minizip's writer knows only stored and deflated entries; any other method is written into the
// local header and the directory record afterwards.
bool patchMethods(const QString &path, const QVector<Entry> &entries)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray zip = file.readAll();
    const struct
    {
        const char *signature;
        int method, nameLength, name;
    } records[] = {{"PK\x03\x04", 8, 26, 30}, {"PK\x01\x02", 10, 28, 46}};
    for (const Entry &entry : entries) {
        if (writableMethod(entry.method))
            continue;
        const QByteArray name = entry.name.toUtf8();
        for (const auto &record : records) {
            for (int at = zip.indexOf(record.signature); at >= 0;
                 at = zip.indexOf(record.signature, at + 1)) {
                const auto *header = reinterpret_cast<const uchar *>(zip.constData() + at);
                if (zip.mid(at + record.name,
                            qFromLittleEndian<quint16>(header + record.nameLength)) == name)
                    qToLittleEndian(static_cast<quint16>(entry.method),
                                    zip.data() + at + record.method);
            }
        }
    }
    return file.seek(0) && file.write(zip) == zip.size();
}

} // namespace

Entry deflated(const QString &name, const QByteArray &data)
{
    return {name, data, Z_DEFLATED, false, 0, 0};
}

Entry stored(const QString &name, const QByteArray &data)
{
    return {name, data, 0, false, 0, 0};
}

Entry raw(const QString &name, const QByteArray &bytes, int method, quint64 declaredSize,
          quint32 crc)
{
    return {name, bytes, method, true, declaredSize, crc};
}

bool write(const QString &path, const QVector<Entry> &entries)
{
    zipFile zip = zipOpen64(path.toUtf8().constData(), APPEND_STATUS_CREATE);
    if (zip == nullptr)
        return false;
    bool written = true;
    for (const Entry &entry : entries) {
        const zip_fileinfo info{};
        const int method = writableMethod(entry.method) ? entry.method : 0;
        const int level = method == Z_DEFLATED ? Z_DEFAULT_COMPRESSION : 0;
        written =
            written &&
            zipOpenNewFileInZip2(zip, entry.name.toUtf8().constData(), &info, nullptr, 0, nullptr,
                                 0, nullptr, method, level, entry.raw ? 1 : 0) == ZIP_OK &&
            zipWriteInFileInZip(zip, entry.bytes.constData(),
                                static_cast<unsigned>(entry.bytes.size())) == ZIP_OK &&
            (entry.raw ? zipCloseFileInZipRaw64(zip, entry.declaredSize, entry.crc)
                       : zipCloseFileInZip(zip)) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && written && patchMethods(path, entries);
}

QByteArray sample(int size)
{
    QByteArray data;
    data.reserve(size);
    quint32 state = 2463534242u;
    while (data.size() < size / 2) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data.append(static_cast<char>(state));
    }
    for (int line = 0; data.size() < size; ++line)
        data.append(QByteArray("line ") + QByteArray::number(line) + " of the installer\n");
    data.truncate(size);
    return data;
}

QByteArray deflate(const QByteArray &data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<int>(deflateBound(&stream, static_cast<uLong>(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    ::deflate(&stream, Z_FINISH);
    out.truncate(static_cast<int>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

quint32 crc(const QByteArray &data)
{
    return static_cast<quint32>(::crc32(0, reinterpret_cast<const Bytef *>(data.constData()),
                                        static_cast<uInt>(data.size())));
}

} // namespace zipfixture
