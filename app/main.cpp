#include "platform/nativeapi.h"
#include "ui/installerwindow.h"

#include <QApplication>
#include <QString>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return -1;

    // Taken before QApplication, which may strip its own options from argv. On Windows argv has
    // been through the ANSI code page; the arguments come from the wide command line instead.
    const std::vector<std::string> arguments = nativeapi::commandLineArguments(argc, argv);
    if (arguments.size() != 3)
        return -1;

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

    InstallerWindow window(QString::fromStdString(arguments[1]),
                           QString::fromStdString(arguments[2]));
    window.show();
    return application.exec();
}
