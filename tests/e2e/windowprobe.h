#pragma once

#include <QObject>
#include <QString>

// Loaded into the program under test (LD_PRELOAD), it appends the text of every message box the
// program shows to a file, one line feed after each. A box in another process can't be read from
// outside; this is how a test learns its text.
class WindowProbe : public QObject
{
    Q_OBJECT

public:
    WindowProbe(const QString &logPath, QObject *parent);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString logPath;
};
