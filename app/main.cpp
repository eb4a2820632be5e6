#include "platform/nativeapi.h"
#include "ui/installerwindow.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QString>

int main(int argc, char *argv[])
{
    // Before anything loads a library by name: the program's folder is where updates arrive.
    nativeapi::restrictLibrarySearch();

    // Counted on the command line the user gave: on Windows argv has been through the ANSI code
    // page, which can't hold every character of a URL and may split it otherwise.
    const std::vector<std::string> arguments = nativeapi::commandLineArguments(argc, argv);
    if (arguments.size() != 3)
        return -1;

    // Qt takes options of its own from the command line (-platformpluginpath, -plugin,
    // -stylesheet, -reverse…), and from the environment plugin folders and a testing library to
    // load; OpenSSL, which Qt's TLS uses on Linux, loads the modules its configuration names. The
    // signed program would load or obey whatever it is handed, so Qt sees only the program's
    // name. A static Qt, as in the Windows build, holds every plugin it uses and looks in no
    // folder; a shared one looks where it was installed, and in the program's folder only while
    // the application object is made.
    for (const char *variable :
         {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_LOAD_TESTABILITY", "OPENSSL_CONF",
          "OPENSSL_MODULES", "OPENSSL_ENGINES"})
        qunsetenv(variable);
    const QStringList pluginFolders = {QLibraryInfo::location(QLibraryInfo::PluginsPath)};
    QCoreApplication::setLibraryPaths(pluginFolders);
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};

    // The window keeps its designed size in logical pixels at any display scale: Qt scales
    // it by the factor the system gives (Windows' display scale, X's Xft.dpi or
    // QT_SCALE_FACTOR), unrounded, so 125 % draws it 1.25 times as large, not 1 or 2 times.
    // Both take effect only when set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication application(qtArgc, qtArgv);
    // The application object adds its own folder while it is made.
    QCoreApplication::setLibraryPaths(pluginFolders);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setApplicationName("Larkspur Installer");
    QCoreApplication::setOrganizationName("Fernhollow");
    QCoreApplication::setOrganizationDomain("com.fernhollow");

    InstallerWindow window(QString::fromStdString(arguments[1]),
                           QString::fromStdString(arguments[2]));
    window.show();
    return application.exec();
}
