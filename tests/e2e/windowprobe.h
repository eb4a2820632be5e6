#pragma once

#include <QObject>
#include <QString>

class QEvent;
class QJsonObject;
class QMessageBox;
class QProgressBar;

// Loaded into the program under test (LD_PRELOAD), it writes what the program shows to a file
// as JSON lines: each message box as it appears, and each value of the window's progress bar.
// A box in another process can't be read from outside; this is how a test learns its text.
class WindowProbe : public QObject
{
    Q_OBJECT

public:
    WindowProbe(QString logPath, QObject *parent);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void recordBox(const QMessageBox *box);
    void watchProgress(const QProgressBar *progressBar);
    void record(const QJsonObject &entry);

    QString logPath;
    bool watchingProgress = false;
};
