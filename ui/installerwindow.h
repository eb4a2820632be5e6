#pragma once

#include <QMainWindow>
#include <QString>

class FileDownloader;
class Ui_InstallerWindow;

namespace nativeapi {
struct InstallerCheck;
}

// The installer's only window, and the controller of the whole update: it downloads the
// update, extracts and starts the installer, and reports every failure in a message box.
class InstallerWindow : public QMainWindow
{
    Q_OBJECT

public:
    InstallerWindow(QString firstArgument, QString url, QWidget *parent = nullptr);
    ~InstallerWindow() override;

    static QString moduleFilePath();

private slots:
    void on_buttonCancel_clicked();
    void on_downloadFinished();
    void on_errorOccurred(QString error);
    void on_progress(quint64 bytesReceived, quint64 bytesTotal);

private:
    void report(const QString &message);
    static QString refusal(const nativeapi::InstallerCheck &check);

    QString firstArgument;
    QString filePath;
    FileDownloader *downloader = nullptr;
    Ui_InstallerWindow *ui = nullptr;
};
