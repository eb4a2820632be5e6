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
