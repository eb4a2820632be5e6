#include "expectedstylesheets.h"
#include "ui/installerwindow.h"
#include "ui_installerwindow.h"

#include <QtTest>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>

// The window's form: what the user sees before the first byte of the update arrives.
class InstallerWindowFormTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void widgets_data();
    void widgets();
    void styleSheets_data();
    void styleSheets();
    void textsAndLogo();
    void progressBar();
    void windowName_data();
    void windowName();
    void windowFlags();
    void cancelClickedOncePerClick();

private:
    InstallerWindow *newWindow();

    // Accepts the window's download and never answers, so the window just sits there.
    QTcpServer silentServer;
    QString downloadPath;
};

void InstallerWindowFormTest::initTestCase()
{
    QVERIFY(silentServer.listen(QHostAddress::LocalHost));
    const QString name = QStringLiteral("form-test-%1.bin").arg(QCoreApplication::applicationPid());
    downloadPath = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

void InstallerWindowFormTest::cleanup()
{
    QFile::remove(downloadPath);
}

InstallerWindow *InstallerWindowFormTest::newWindow()
{
    const QString url = QStringLiteral("http://127.0.0.1:%1/%2")
                            .arg(silentServer.serverPort())
                            .arg(QFileInfo(downloadPath).fileName());
    return new InstallerWindow(QStringLiteral("x"), url);
}

void InstallerWindowFormTest::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("minimumSize");
    QTest::addColumn<QSize>("maximumSize");

    const QSize unlimited(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QTest::newRow("cancel button")
        << "buttonCancel"
        << "QPushButton"
        << "centralwidget" << QRect(361, 90, 171, 32) << QSize(0, 0) << unlimited;
    QTest::newRow("logo") << "label"
                          << "QLabel"
                          << "centralwidget" << QRect(30, 30, 80, 80) << QSize(80, 80)
                          << QSize(80, 80);
    QTest::newRow("progress bar") << "progressBar"
                                  << "QProgressBar"
                                  << "centralwidget" << QRect(140, 55, 391, 10) << QSize(0, 0)
                                  << unlimited;
    QTest::newRow("status text") << "label_2"
                                 << "QLabel"
                                 << "centralwidget" << QRect(140, 35, 171, 16) << QSize(0, 0)
                                 << unlimited;
}

void InstallerWindowFormTest::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QSize, minimumSize);
    QFETCH(QSize, maximumSize);

    QMainWindow window;
    Ui_InstallerWindow ui;
    ui.setupUi(&window);

    QCOMPARE(window.size(), QSize(564, 148));
    QCOMPARE(window.minimumSize(), QSize(564, 148));
    QCOMPARE(window.maximumSize(), QSize(564, 148));
    QCOMPARE(window.centralWidget(), ui.centralwidget);
    QCOMPARE(ui.centralwidget->objectName(), QStringLiteral("centralwidget"));
    QCOMPARE(ui.centralwidget->children().size(), 4);

    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1().constData());
    QCOMPARE(widget->parent()->objectName(), parentName);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->minimumSize(), minimumSize);
    QCOMPARE(widget->maximumSize(), maximumSize);
}

void InstallerWindowFormTest::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("length");

    QTest::newRow("window") << "InstallerWindow" << windowSheet << 1926;
    QTest::newRow("cancel button") << "buttonCancel" << cancelButtonSheet << 487;
    QTest::newRow("progress bar") << "progressBar" << progressBarSheet << 159;
    QTest::newRow("status text") << "label_2" << statusTextSheet << 59;
}

void InstallerWindowFormTest::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QFETCH(int, length);

    QMainWindow window;
    Ui_InstallerWindow ui;
    ui.setupUi(&window);

    QWidget *widget = window.objectName() == name ? &window : window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->styleSheet(), expected);
    QCOMPARE(widget->styleSheet().size(), length);
}

void InstallerWindowFormTest::textsAndLogo()
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
    QVERIFY(!logo.isNull());
    QCOMPARE(logo.size(), QSize(154, 144));
    QCOMPARE(logo.devicePixelRatio(), 2.0);
    QVERIFY(!ui.label->hasScaledContents());
}

void InstallerWindowFormTest::progressBar()
{
    {
        QMainWindow window;
        Ui_InstallerWindow ui;
        ui.setupUi(&window);
        QCOMPARE(ui.progressBar->minimum(), 0);
        QCOMPARE(ui.progressBar->maximum(), 1000);
        QCOMPARE(ui.progressBar->value(), 350);
        QVERIFY(!ui.progressBar->isTextVisible());
    }
    QScopedPointer<InstallerWindow> window(newWindow());
    auto *bar = window->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
}

void InstallerWindowFormTest::windowName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");

    QTest::newRow("unnamed window is named") << QString() << "InstallerWindow";
    QTest::newRow("named window keeps its name") << "productUpdater"
                                                 << "productUpdater";
}

void InstallerWindowFormTest::windowName()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);

    QMainWindow window;
    window.setObjectName(given);
    Ui_InstallerWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), expected);
}

void InstallerWindowFormTest::windowFlags()
{
    QScopedPointer<InstallerWindow> window(newWindow());
    // Qt itself adds the system-menu hint to every window with a title bar.
    QCOMPARE(int(window->windowFlags() & ~Qt::WindowSystemMenuHint), 0x1003);
}

void InstallerWindowFormTest::cancelClickedOncePerClick()
{
    // Cancelling closes the window; each close event is one run of the slot.
    class CloseCounter : public QObject
    {
    public:
        int closes = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Close)
                ++closes;
            return false;
        }
    } counter;

    QScopedPointer<InstallerWindow> window(newWindow());
    window->installEventFilter(&counter);
    auto *button = window->findChild<QPushButton *>(QStringLiteral("buttonCancel"));
    QVERIFY(button);
    for (int click = 1; click <= 2; ++click) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.data()));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(counter.closes, click);
        QVERIFY(!window->isVisible());
    }
}

QTEST_MAIN(InstallerWindowFormTest)
#include "tst_installerwindowform.moc"
