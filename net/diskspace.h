#pragma once

#include <QString>

// Room on the disk for what an update is about to write.
class DiskSpace
{
public:
    // Whether `needed` bytes fit on the volume that holds `directory`; otherwise `error` says
    // how many megabytes are needed and how many are free. A volume that can't be asked is taken
    // to have room: the write then reports its own failure.
    static bool fits(const QString &directory, qint64 needed, QString &error);
};
