#pragma once

#include <QString>

// What the extractor promises for any file given as an archive: an entry setup.exe reported
// written holds exactly its declared size, and a reported failure leaves no output file. The
// output goes into directory and is removed afterwards. False, with a description in outcome,
// when the promise is broken; otherwise outcome is the extractor's error, empty after a success.
bool extractionInvariantHolds(const QString &archivePath, const QString &directory,
                              QString &outcome);
