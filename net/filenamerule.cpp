#include "net/filenamerule.h"

#include "platform/nativeapi.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// Windows opens a device for any of these names, whatever follows the first dot, and ignores
// spaces before that dot.
bool isDeviceName(const QString &fileName)
{
    QString base = fileName.left(fileName.indexOf(QLatin1Char('.'))).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList devices = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                        QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                        QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    static const QString portNumbers = QStringLiteral("0123456789\u00b9\u00b2\u00b3");
    return devices.contains(base) ||
           (base.size() == 4 &&
            (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
            portNumbers.contains(base.at(3)));
}

} // namespace

bool FileNameRule::accepts(const QString &fileName)
{
    if (fileName.isEmpty() || fileName.endsWith(QLatin1Char('.')) ||
        fileName.endsWith(QLatin1Char(' ')))
        return false;
    static const QString reserved = QStringLiteral("<>:\"/\\|?*");
    for (const QChar character : fileName)
        if (reserved.contains(character) || character.category() == QChar::Other_Control)
            return false;
    const QString program =
        QFileInfo(QString::fromStdString(nativeapi::moduleFilePath())).fileName();
    if (isDeviceName(fileName) || fileName.compare(program, Qt::CaseInsensitive) == 0)
        return false;
    return !nativeapi::downloadNeedsKnownSuffix ||
           fileName.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) ||
           fileName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}
