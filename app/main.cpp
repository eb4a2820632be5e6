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
