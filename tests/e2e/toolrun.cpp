#include "toolrun.h"

#include <QProcess>

ToolResult runTool(const QString &program, const QStringList &arguments, int timeout,
                   const QProcessEnvironment &environment)
{
    ToolResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(timeout))
        return result;
    if (!process.waitForFinished(timeout)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.output = process.readAllStandardOutput();
    return result;
}
