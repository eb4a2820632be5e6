#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Archives for the tests, written with minizip's own writer.
namespace zipfixture {

struct Entry
{
    QString name;
    QByteArray bytes;
    int method = 8;
    // A raw entry is written exactly as given, which is how damaged entries are made.
    bool raw = false;
    quint64 declaredSize = 0;
    quint32 crc = 0;
};

// The bytes of an archive holding these entries; empty when it can't be written.
QByteArray zipped(const QVector<Entry> &entries);
// An archive holding one deflated entry.
QByteArray zipped(const QString &name, const QByteArray &data);

} // namespace zipfixture
