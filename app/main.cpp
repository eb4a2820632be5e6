#include "ui/installerwindow.h"

#include <QApplication>
#include <QString>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return -1;

    // QApplication may strip its own options from argv; the two arguments are taken first.
    const char *firstArgument = argv[1];
    const char *url = argv[2];

    // The window keeps its designed size in logical pixels at any display scale: Qt scales
    // it by the factor the system gives (Windows' display scale, X's Xft.dpi or
    // QT_SCALE_FACTOR), unrounded, so 125 % draws it 1.25 times as large, not 1 or 2 times.
    // Both take effect only when set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication application(argc, argv);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setApplicationName("Larkspur Installer");
    QCoreApplication::setOrganizationName("Fernhollow");
    QCoreApplication::setOrganizationDomain("com.fernhollow");

    const QString urlText(url);
    const QString firstArgumentText(firstArgument);
    InstallerWindow window(firstArgumentText, urlText);
    window.show();
    return application.exec();
}
