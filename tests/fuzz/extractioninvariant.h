#pragma once

#include <QString>

// What the extractor promises for any file handed to it as an archive: when it reports the entry
// written, the output holds exactly the entry's declared size; when it reports a failure, no
// output file is left. False, with a description in failure, when the promise is broken. The
// output file is removed afterwards.
bool extractionInvariantHolds(const QString &archivePath, const QString &entryName,
                              const QString &directory, QString &failure);
