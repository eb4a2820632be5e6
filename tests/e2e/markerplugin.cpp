// A library that offers itself to Qt as the platform plugin of every platform the tests run on,
// and writes down that it was loaded, before Qt can find out that it is none: the program must
// never load it, wherever the command line or the environment says plugins are.
#include <QFile>
#include <QObject>

class MarkerPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                          "markerplugin.json")
};

static const bool marked =
    QFile(qEnvironmentVariable("LARKSPUR_PLUGIN_MARK")).open(QIODevice::WriteOnly);

#include "markerplugin.moc"
