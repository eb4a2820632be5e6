#include "windowprobe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QMessageBox>

namespace {

void installWindowProbe()
{
    const QString logPath = qEnvironmentVariable("LARKSPUR_WINDOW_PROBE_LOG");
    // Meant for this process only, not for the installer it starts.
    qunsetenv("LD_PRELOAD");
    qApp->installEventFilter(new WindowProbe(logPath, qApp));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installWindowProbe)

WindowProbe::WindowProbe(const QString &logPath, QObject *parent)
    : QObject(parent), logPath(logPath)
{
}

bool WindowProbe::eventFilter(QObject *watched, QEvent *event)
{
    const auto *box = qobject_cast<QMessageBox *>(watched);
    if (box && event->type() == QEvent::Show) {
        QFile log(logPath);
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write(box->text().toUtf8() + '\n');
    }
    return QObject::eventFilter(watched, event);
}
