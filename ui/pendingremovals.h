#pragma once

#include <QString>

// Installer files that could not be removed after their start because the installer still ran
// from them, as Windows keeps a running program's file. Recorded in the user's settings (the
// registry on Windows, under the application's own names) and removed by a later start.
class PendingRemovals
{
public:
    static void add(const QString &path);
    // Removes every recorded installer it can and keeps the others recorded; forgets whatever
    // else the record names, untouched.
    static void removeRecorded();
};
