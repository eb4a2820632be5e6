#pragma once

#include <QString>

// What a downloaded file may be called. Its name comes from the update's URL and it is written
// into the program's own folder, where Windows looks first for the libraries the program loads
// and which the product trusts: the name must say plainly that it is an update, and nothing else.
// The same rule decides which leftovers a later start may remove.
class FileNameRule
{
public:
    // A name that holds none of <>:"/\|?* nor a control character, does not end in a dot or a
    // space, names no device (CON, NUL, COM1 and the like, with or without a suffix), is not the
    // program's own file name, and on Windows ends in .zip or .exe; letters in any case.
    static bool accepts(const QString &fileName);
};
