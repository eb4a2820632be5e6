#pragma once

#include <QString>

// What the extractor promises for any file given as an archive: an entry reported written holds
// exactly its declared size, and a reported failure leaves no output file. False, with a
// description in failure, when the promise is broken. The output is removed afterwards.
bool extractionInvariantHolds(const QString &archivePath, const QString &entryName,
                              const QString &directory, QString &failure);
