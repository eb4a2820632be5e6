#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// How a helper program run by runTool ended.
struct ToolResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

// Runs a helper program to its end and returns its standard output. One that outlives the time
// limit is killed by its pid and counts as not finished.
ToolResult
runTool(const QString &program, const QStringList &arguments, int timeout = 20000,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
