#include "ui/installerwindow.h"
#include "ui/messagebox.h"

#include <QtTest>

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>

#include <limits>

// The controller's own arithmetic and message boxes, in process; the whole update runs in the
// end-to-end tests.
class InstallerWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void progress_data();
    void progress();
    void messageBox();
    void closeButtonWearsTheWindowStyle();
    void showMessageRunsUntilDismissed();
    void failedStartClosesTheShownWindow();

private:
    InstallerWindow *newWindow(const QString &fileName);
    // Dismisses the next message box that appears and hands over its text.
    void dismissNextBox(QString *text);

    QTcpServer silentServer;
    QStringList downloadPaths;
};

void InstallerWindowTest::initTestCase()
{
    QVERIFY(silentServer.listen(QHostAddress::LocalHost));
}

void InstallerWindowTest::cleanup()
{
    for (const QString &path : qAsConst(downloadPaths))
        QFile::remove(path);
    downloadPaths.clear();
}

InstallerWindow *InstallerWindowTest::newWindow(const QString &fileName)
{
    downloadPaths << QCoreApplication::applicationDirPath() + QLatin1Char('/') + fileName;
    const QString url =
        QStringLiteral("http://127.0.0.1:%1/%2").arg(silentServer.serverPort()).arg(fileName);
    return new InstallerWindow(QStringLiteral("x"), url);
}

void InstallerWindowTest::dismissNextBox(QString *text)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [timer, text] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            *text = box->text();
            timer->deleteLater();
            box->findChild<QPushButton *>(QStringLiteral("CLOSE"))->click();
            return;
        }
    });
    timer->start(10);
}

void InstallerWindowTest::progress_data()
{
    QTest::addColumn<quint64>("received");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<int>("expected");

    const quint64 allBits = std::numeric_limits<quint64>::max();
    // Every row starts from a bar at 500, so an ignored report shows as 500.
    QTest::newRow("no size known") << quint64(0) << quint64(0) << 500;
    QTest::newRow("nothing of a known size") << quint64(0) << quint64(4096) << 30;
    QTest::newRow("below the floor") << quint64(29) << quint64(1000) << 30;
    QTest::newRow("thousandths truncated") << quint64(4219) << quint64(10000) << 421;
    QTest::newRow("all received") << quint64(4096) << quint64(4096) << 1000;
    QTest::newRow("more than announced") << quint64(8193) << quint64(4096) << 500;
    QTest::newRow("total with all bits set") << quint64(1) << allBits << 30;
    QTest::newRow("gigabytes without overflow")
        << quint64(3) * 1024 * 1024 * 1024 << quint64(4) * 1024 * 1024 * 1024 << 750;
}

void InstallerWindowTest::progress()
{
    QFETCH(quint64, received);
    QFETCH(quint64, total);
    QFETCH(int, expected);

    QScopedPointer<InstallerWindow> window(newWindow(QStringLiteral("progress-test.bin")));
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(QMetaObject::invokeMethod(window.data(), "on_progress", Q_ARG(quint64, 500),
                                      Q_ARG(quint64, 1000)));
    QCOMPARE(bar->value(), 500);
    QVERIFY(QMetaObject::invokeMethod(window.data(), "on_progress", Q_ARG(quint64, received),
                                      Q_ARG(quint64, total)));
    QCOMPARE(bar->value(), expected);
}

void InstallerWindowTest::messageBox()
{
    QScopedPointer<InstallerWindow> window(newWindow(QStringLiteral("box-test.bin")));
    MessageBoxPointer box = createMessageBox(
        window.data(), QStringLiteral("Larkspur Installer"), QStringLiteral("Failed to update."),
        QMessageBox::Critical, true, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint,
        QMessageBox::Close, QStringLiteral("CLOSE"), QString(), QMessageBox::NoButton, QString(),
        QString(), QMessageBox::NoButton, QString(), QString(), QMessageBox::NoButton);

    QCOMPARE(box->windowTitle(), QStringLiteral("Larkspur Installer"));
    QCOMPARE(box->text(), QStringLiteral("Failed to update."));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->parentWidget(), window.data());
    QVERIFY(box->styleSheet().isEmpty());
    QCOMPARE(box->buttons().size(), 1);
    QAbstractButton *button = box->buttons().first();
    QCOMPARE(button->text(), QStringLiteral("CLOSE"));
    QCOMPARE(button->objectName(), QStringLiteral("CLOSE"));
    QCOMPARE(box->standardButton(button), QMessageBox::Close);
}

void InstallerWindowTest::closeButtonWearsTheWindowStyle()
{
    QScopedPointer<InstallerWindow> window(newWindow(QStringLiteral("style-test.bin")));
    MessageBoxPointer box = createMessageBox(
        window.data(), QStringLiteral("Larkspur Installer"), QStringLiteral("Failed to update."),
        QMessageBox::Critical, true, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint,
        QMessageBox::Close, QStringLiteral("CLOSE"), QString(), QMessageBox::NoButton, QString(),
        QString(), QMessageBox::NoButton, QString(), QString(), QMessageBox::NoButton);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));

    QAbstractButton *button = box->buttons().first();
    const QImage image = box->grab().toImage();
    // Inside the pill's left padding: nothing but the green fill, at 0xCC over #323232.
    const QPoint inside = button->mapTo(box.get(), QPoint(12, button->height() / 2));
    const QColor fill = image.pixelColor(inside);
    QVERIFY2(fill.green() > fill.red() + 60 && fill.green() > fill.blue() + 40,
             qPrintable(fill.name()));
    // Outside the pill's rounded corner the box's own dark background shows.
    const QColor corner = image.pixelColor(button->mapTo(box.get(), QPoint(5, 1)));
    QVERIFY2(corner.green() < 0x60, qPrintable(corner.name()));
}

void InstallerWindowTest::showMessageRunsUntilDismissed()
{
    QScopedPointer<InstallerWindow> window(newWindow(QStringLiteral("show-test.bin")));
    QString shown;
    dismissNextBox(&shown);
    const int result = showMessage(
        window.data(), QStringLiteral("Larkspur Installer"), QStringLiteral("Failed to update."),
        true, QMessageBox::Close, QStringLiteral("CLOSE"), QString(), QMessageBox::NoButton,
        QString(), QString(), QMessageBox::NoButton, QString(), QString(), QMessageBox::NoButton);
    QCOMPARE(shown, QStringLiteral("Failed to update."));
    QCOMPARE(result, int(QMessageBox::Close));
}

void InstallerWindowTest::failedStartClosesTheShownWindow()
{
    // A URL that ends in a slash names no file: the download can't start, and the window,
    // shown only after its constructor returned, must still close.
    QString shown;
    dismissNextBox(&shown);
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(silentServer.serverPort());
    QScopedPointer<InstallerWindow> window(new InstallerWindow(QStringLiteral("x"), url));
    QVERIFY2(
        shown.startsWith(QStringLiteral("Failed to download the update.\n\nFailed to create ")),
        qPrintable(shown));
    window->show();
    QTRY_VERIFY(!window->isVisible());
}

QTEST_MAIN(InstallerWindowTest)
#include "tst_installerwindow.moc"
