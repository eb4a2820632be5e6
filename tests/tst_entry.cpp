#include <QtTest>

// The program refuses any argument count but two before it creates a single Qt object.
class EntryTest : public QObject
{
    Q_OBJECT

private slots:
    void wrongArgumentCount_data();
    void wrongArgumentCount();
};

void EntryTest::wrongArgumentCount_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("none") << QStringList();
    QTest::newRow("one") << QStringList{"x"};
    QTest::newRow("three") << QStringList{"x", "http://127.0.0.1:9/Update.zip", "extra"};
}

void EntryTest::wrongArgumentCount()
{
    QFETCH(QStringList, arguments);

    QProcess program;
    // A platform plugin that does not exist makes any QApplication abort at once, so a clean
    // exit proves that none was created and nothing could have been shown.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(LARKSPUR_INSTALLER_PATH), arguments);
    QVERIFY(program.waitForStarted());
    if (!program.waitForFinished(30000)) {
        program.kill();
        QFAIL("the program kept running");
    }
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 255);
    QCOMPARE(program.readAll(), QByteArray());
}

QTEST_GUILESS_MAIN(EntryTest)
#include "tst_entry.moc"
