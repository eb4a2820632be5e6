#include "ui/installerwindow.h"
#include "ui/messagebox.h"
#include "ui_installerwindow.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>

#include <limits>

// The window in process: its form, its progress arithmetic and its message boxes. The whole
// update runs in the end-to-end tests.
class InstallerWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void widgets_data();
    void widgets();
    void styleSheets_data();
    void styleSheets();
    void textsLogoAndBar();
    void windowName_data();
    void windowName();
    void constructedWindow();
    void cancelClickedOncePerClick();
    void progress_data();
    void progress();
    void messageBox();
    void showMessageRunsUntilDismissed();
    void failedStartClosesTheShownWindow();

private:
    // The window's download goes to a server that accepts and never answers, so the window
    // just sits there.
    InstallerWindow *newWindow();
    MessageBoxPointer newBox(QWidget *parent);
    // Dismisses the next message box that appears and hands over its text.
    void dismissNextBox(QString *text);

    QTcpServer silentServer;
    QString downloadPath;
};

void InstallerWindowTest::initTestCase()
{
    QVERIFY(silentServer.listen(QHostAddress::LocalHost));
    downloadPath = QCoreApplication::applicationDirPath() +
                   QStringLiteral("/window-test-%1.bin").arg(QCoreApplication::applicationPid());
}

void InstallerWindowTest::cleanup()
{
    QFile::remove(downloadPath);
}

InstallerWindow *InstallerWindowTest::newWindow()
{
    const QString url = QStringLiteral("http://127.0.0.1:%1/%2")
                            .arg(silentServer.serverPort())
                            .arg(QFileInfo(downloadPath).fileName());
    return new InstallerWindow(QStringLiteral("x"), url);
}

MessageBoxPointer InstallerWindowTest::newBox(QWidget *parent)
{
    return createMessageBox(
        parent, QStringLiteral("Larkspur Installer"), QStringLiteral("Failed to update."),
        QMessageBox::Critical, true, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint,
        QMessageBox::Close, QStringLiteral("CLOSE"), QString(), QMessageBox::NoButton, QString(),
        QString(), QMessageBox::NoButton, QString(), QString(), QMessageBox::NoButton);
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

void InstallerWindowTest::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("fixedSize");

    QTest::newRow("cancel button")
        << "buttonCancel" << QByteArray("QPushButton") << QRect(361, 90, 171, 32) << QSize();
    QTest::newRow("logo") << "label" << QByteArray("QLabel") << QRect(30, 30, 80, 80)
                          << QSize(80, 80);
    QTest::newRow("progress bar") << "progressBar" << QByteArray("QProgressBar")
                                  << QRect(140, 55, 391, 10) << QSize();
    QTest::newRow("status text") << "label_2" << QByteArray("QLabel") << QRect(140, 35, 171, 16)
                                 << QSize();
}

void InstallerWindowTest::widgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QRect, geometry);
    QFETCH(QSize, fixedSize);

    QMainWindow window;
    Ui_InstallerWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.size(), QSize(564, 148));
    QCOMPARE(window.minimumSize(), QSize(564, 148));
    QCOMPARE(window.maximumSize(), QSize(564, 148));
    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(ui.centralwidget->objectName(), QStringLiteral("centralwidget"));
    QCOMPARE(ui.centralwidget->children().size(), 4);

    auto *widget = ui.centralwidget->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.constData());
    QCOMPARE(widget->geometry(), geometry);
    const QSize unlimited(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QCOMPARE(widget->minimumSize(), fixedSize.isValid() ? fixedSize : QSize(0, 0));
    QCOMPARE(widget->maximumSize(), fixedSize.isValid() ? fixedSize : unlimited);
}

void InstallerWindowTest::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("sha256");

    // The sheets are the product's look, character for character, line feeds only: held here
    // by their length and digest.
    QTest::newRow("window") << "InstallerWindow" << 1926
                            << QByteArray("5a0f6798b1ab1f967dd0116cb94ac622"
                                          "ad18a0e3bfbb045bcfffd4e9e662aa8c");
    QTest::newRow("cancel button") << "buttonCancel" << 487
                                   << QByteArray("9bbb18fdce7a16e33113d6d3581fb796"
                                                 "12dbddb6bb16fcb9925d9d71a2f32776");
    QTest::newRow("progress bar") << "progressBar" << 159
                                  << QByteArray("835e52eeae4beda6d23db8f503379f8a"
                                                "f5d761d9650a498a752218909b9e740e");
    QTest::newRow("status text") << "label_2" << 59
                                 << QByteArray("cd754c1f360084a47dc15c46d160367b"
                                               "4d149254a715499ceca0f5762adf2ff1");
}

void InstallerWindowTest::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(int, length);
    QFETCH(QByteArray, sha256);

    QMainWindow window;
    Ui_InstallerWindow ui;
    ui.setupUi(&window);
    QWidget *widget = window.objectName() == name ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    const QString sheet = widget->styleSheet();
    QCOMPARE(sheet.size(), length);
    QCOMPARE(QCryptographicHash::hash(sheet.toUtf8(), QCryptographicHash::Sha256).toHex(), sha256);
}

void InstallerWindowTest::textsLogoAndBar()
{
    QMainWindow window;
    Ui_InstallerWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.windowTitle(), QStringLiteral("Installing update..."));
    QCOMPARE(ui.buttonCancel->text(), QStringLiteral("CANCEL UPDATE"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("Installing update..."));
    QVERIFY(ui.label->text().isEmpty());

    // Setting the logo label's empty text must not have dropped the pixmap.
    const QPixmap logo = ui.label->pixmap(Qt::ReturnByValue);
    QCOMPARE(logo.size(), QSize(154, 144));
    QCOMPARE(logo.devicePixelRatio(), 2.0);
    QVERIFY(!ui.label->hasScaledContents());

    QCOMPARE(ui.progressBar->minimum(), 0);
    QCOMPARE(ui.progressBar->maximum(), 1000);
    QCOMPARE(ui.progressBar->value(), 350);
    QVERIFY(!ui.progressBar->isTextVisible());
}

void InstallerWindowTest::windowName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unnamed window is named") << QString() << "InstallerWindow";
    QTest::newRow("named window keeps its name") << "productUpdater"
                                                 << "productUpdater";
}

void InstallerWindowTest::windowName()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);

    QMainWindow window;
    window.setObjectName(given);
    Ui_InstallerWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), expected);
}

void InstallerWindowTest::constructedWindow()
{
    QScopedPointer<InstallerWindow> window(newWindow());
    // Qt itself adds the system-menu hint to every window with a title bar.
    QCOMPARE(int(window->windowFlags() & ~Qt::WindowSystemMenuHint), 0x1003);
    QCOMPARE(window->findChild<QProgressBar *>(QStringLiteral("progressBar"))->value(), 0);
}

void InstallerWindowTest::cancelClickedOncePerClick()
{
    // Cancelling closes the window; each close event is one run of the slot.
    class CloseCounter : public QObject
    {
    public:
        int closes = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            closes += event->type() == QEvent::Close;
            return false;
        }
    } counter;

    QScopedPointer<InstallerWindow> window(newWindow());
    window->installEventFilter(&counter);
    auto *button = window->findChild<QPushButton *>(QStringLiteral("buttonCancel"));
    for (int click = 1; click <= 2; ++click) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.data()));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(counter.closes, click);
        QVERIFY(!window->isVisible());
    }
}

void InstallerWindowTest::progress_data()
{
    QTest::addColumn<quint64>("received");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<int>("expected");

    const quint64 gibibyte = quint64(1) << 30;
    // Every row starts from a bar at 500, so an ignored report shows as 500.
    QTest::newRow("no size known") << quint64(0) << quint64(0) << 500;
    QTest::newRow("nothing of a known size") << quint64(0) << quint64(4096) << 30;
    QTest::newRow("below the floor") << quint64(29) << quint64(1000) << 30;
    QTest::newRow("thousandths truncated") << quint64(4219) << quint64(10000) << 421;
    QTest::newRow("all received") << quint64(4096) << quint64(4096) << 1000;
    QTest::newRow("more than announced") << quint64(8193) << quint64(4096) << 500;
    QTest::newRow("total with all bits set")
        << quint64(1) << std::numeric_limits<quint64>::max() << 30;
    QTest::newRow("gibibytes without overflow") << 3 * gibibyte << 4 * gibibyte << 750;
}

void InstallerWindowTest::progress()
{
    QFETCH(quint64, received);
    QFETCH(quint64, total);
    QFETCH(int, expected);

    QScopedPointer<InstallerWindow> window(newWindow());
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(QMetaObject::invokeMethod(window.data(), "on_progress", Q_ARG(quint64, 500),
                                      Q_ARG(quint64, 1000)));
    QVERIFY(QMetaObject::invokeMethod(window.data(), "on_progress", Q_ARG(quint64, received),
                                      Q_ARG(quint64, total)));
    QCOMPARE(bar->value(), expected);
}

void InstallerWindowTest::messageBox()
{
    QScopedPointer<InstallerWindow> window(newWindow());
    MessageBoxPointer box = newBox(window.data());
    QCOMPARE(box->windowTitle(), QStringLiteral("Larkspur Installer"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->parentWidget(), window.data());
    QVERIFY(box->styleSheet().isEmpty());
    QCOMPARE(box->buttons().size(), 1);
    QAbstractButton *button = box->buttons().first();
    QCOMPARE(box->standardButton(button), QMessageBox::Close);
    QCOMPARE(button->text(), QStringLiteral("CLOSE"));
    QCOMPARE(button->objectName(), QStringLiteral("CLOSE"));

    // The name alone is not enough: the button must wear the window's green pill.
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    const QImage image = box->grab().toImage();
    const QPoint insidePill = button->mapTo(box.get(), QPoint(12, button->height() / 2));
    const QColor fill = image.pixelColor(insidePill);
    QVERIFY2(fill.green() > fill.red() + 60 && fill.green() > fill.blue() + 40,
             qPrintable(fill.name()));
    // Outside the pill's rounded corner the box's own dark background shows.
    const QColor corner = image.pixelColor(button->mapTo(box.get(), QPoint(5, 1)));
    QVERIFY2(corner.green() < 0x60, qPrintable(corner.name()));
}

void InstallerWindowTest::showMessageRunsUntilDismissed()
{
    QScopedPointer<InstallerWindow> window(newWindow());
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
