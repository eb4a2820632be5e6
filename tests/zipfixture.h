#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Archives for the tests, written with minizip's own writer. A raw entry is written exactly as
// given (its stored bytes, method, declared size and CRC-32), which is how damaged entries are
// made without patching bytes.
namespace zipfixture {

struct Entry
{
    QString name;
    QByteArray bytes;
    int method = 8;
    bool raw = false;
    quint64 declaredSize = 0;
    quint32 crc = 0;
};

Entry deflated(const QString &name, const QByteArray &data);
Entry stored(const QString &name, const QByteArray &data);
Entry raw(const QString &name, const QByteArray &bytes, int method, quint64 declaredSize,
          quint32 crc);

bool write(const QString &path, const QVector<Entry> &entries);

// Half noise, which deflate keeps in stored blocks, half text, which it really compresses.
QByteArray sample(int size);
QByteArray deflate(const QByteArray &data);
quint32 crc(const QByteArray &data);

} // namespace zipfixture
