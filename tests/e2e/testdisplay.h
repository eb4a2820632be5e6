#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;
struct ToolResult;

// An X server of the test's own (Xvfb, no window manager) and the hands that work it: windows
// are found by title, and keys, clicks and screenshots go through xdotool and ImageMagick.
class TestDisplay : public QObject
{
    Q_OBJECT

public:
    explicit TestDisplay(QObject *parent = nullptr);
    ~TestDisplay() override;

    bool start(QString &error);
    QString name() const;

    // The id of the visible window with exactly this title, once there is one; empty when none
    // appears in time.
    QString findWindow(const QString &title) const;
    bool pressKey(const QString &window, const QString &key) const;
    bool click(const QString &window, int x, int y) const;
    // What a window manager sends when the close button of a title bar is clicked.
    bool closeFromTitleBar(const QString &window) const;
    // The window alone, or the whole screen for the window "root".
    bool screenshot(const QString &window, const QString &path) const;

private:
    ToolResult xdotool(const QStringList &arguments) const;

    QProcess *server;
    QString display;
};
