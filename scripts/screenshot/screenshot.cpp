// Renders the installer window to a PNG file, as the user first sees it: the download has
// started and nothing has arrived yet.

#include "ui/installerwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QPixmap>
#include <QString>
#include <QTcpServer>
#include <QTextStream>
#include <QWindow>

int main(int argc, char *argv[])
{
    QTextStream errors(stderr);
    if (argc != 2) {
        errors << "usage: screenshot OUTPUT.png\n";
        return 2;
    }
    const QString outputPath = QString::fromLocal8Bit(argv[1]);

    QApplication application(argc, argv);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setApplicationName("Larkspur Installer");
    QCoreApplication::setOrganizationName("Fernhollow");
    QCoreApplication::setOrganizationDomain("com.fernhollow");

    // The window starts its download as it is built. A server that takes the connection and
    // never answers keeps that download pending, where an unreachable address would fail it
    // and put a message box in front of the window.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        errors << "Failed to listen on 127.0.0.1 (" << server.errorString() << ").\n";
        return 1;
    }
    const QString url = QString("http://127.0.0.1:%1/Update.zip").arg(server.serverPort());

    InstallerWindow window("x", url);
    window.show();
    const QDeadlineTimer deadline(5000);
    while (!window.windowHandle()->isExposed() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!window.windowHandle()->isExposed()) {
        errors << "The window was not shown within 5 seconds.\n";
        return 1;
    }

    if (!window.grab().save(outputPath, "PNG")) {
        errors << "Failed to write " << outputPath << ".\n";
        return 1;
    }
    return 0;
}
