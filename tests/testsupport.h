#pragma once

#include <QByteArray>
#include <QString>

// What several tests need of files and processes.

// A file's bytes; empty when it can't be read.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
// The SHA-256 digest in hexadecimal, as a URL's fragment names it.
QString sha256(const QByteArray &bytes);

// Whether any process's command line holds this text, such as the folder a program was started
// from: by its path on Linux, by its Windows path under Wine. An installer started by mistake
// shows here before it can write a word, since a start returns only once the program runs.
bool programRuns(const QString &commandLinePart);
