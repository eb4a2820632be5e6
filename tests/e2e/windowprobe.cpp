#include "windowprobe.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressBar>

namespace {

void installWindowProbe()
{
    const QString logPath = qEnvironmentVariable("LARKSPUR_WINDOW_PROBE_LOG");
    // Meant for this process only, not for the installer it starts.
    qunsetenv("LD_PRELOAD");
    if (!logPath.isEmpty())
        QCoreApplication::instance()->installEventFilter(
            new WindowProbe(logPath, QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installWindowProbe)

WindowProbe::WindowProbe(QString logPath, QObject *parent) : QObject(parent), logPath(logPath) {}

bool WindowProbe::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        if (const auto *box = qobject_cast<QMessageBox *>(watched))
            recordBox(box);
        else if (const auto *window = qobject_cast<QMainWindow *>(watched))
            watchProgress(window->findChild<QProgressBar *>(QStringLiteral("progressBar")));
    }
    return QObject::eventFilter(watched, event);
}

void WindowProbe::recordBox(const QMessageBox *box)
{
    QJsonArray buttons;
    QRect firstButton;
    for (const QAbstractButton *button : box->buttons()) {
        buttons.append(button->objectName());
        if (firstButton.isNull())
            firstButton = QRect(button->mapTo(box, QPoint(0, 0)), button->size());
    }
    // Where the button is, so that a test can click it as a person would.
    record({{"event", "box"},
            {"title", box->windowTitle()},
            {"text", box->text()},
            {"buttons", buttons},
            {"buttonCenterX", firstButton.center().x()},
            {"buttonCenterY", firstButton.center().y()}});
}

void WindowProbe::watchProgress(const QProgressBar *progressBar)
{
    if (!progressBar || watchingProgress)
        return;
    watchingProgress = true;
    record({{"event", "progress"}, {"value", progressBar->value()}});
    connect(progressBar, &QProgressBar::valueChanged, this, [this](int value) {
        record({{"event", "progress"}, {"value", value}});
    });
}

void WindowProbe::record(const QJsonObject &entry)
{
    QFile log(logPath);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}
