#include "updateserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>

UpdateServer::UpdateServer(QObject *parent) : QObject(parent), process(new QProcess(this)) {}

UpdateServer::~UpdateServer()
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(5000);
    }
}

bool UpdateServer::start(QString &error)
{
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral("python3"),
                   {QStringLiteral(LARKSPUR_UPDATE_SERVER_SCRIPT), root.path(),
                    QStringLiteral("--lifetime"), QStringLiteral("240")});
    QDeadlineTimer deadline(10000);
    while (!process->canReadLine()) {
        if (deadline.hasExpired() || !process->waitForReadyRead(deadline.remainingTime())) {
            error =
                QStringLiteral("the update server did not start: %1").arg(process->errorString());
            return false;
        }
    }
    port = QString::fromLatin1(process->readLine().trimmed());
    return true;
}

QString UpdateServer::folder() const
{
    return root.path();
}

QString UpdateServer::url(const QString &fileName, const QString &query) const
{
    const QString url = QStringLiteral("http://127.0.0.1:%1/%2").arg(port, fileName);
    return query.isEmpty() ? url : url + QLatin1Char('?') + query;
}

bool UpdateServer::release() const
{
    QFile release(root.filePath(QStringLiteral("release")));
    return release.open(QIODevice::WriteOnly);
}
