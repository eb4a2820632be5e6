#include <QDirIterator>
#include <QImage>
#include <QStringList>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void logoLoadsWithAlpha_data();
    void logoLoadsWithAlpha();
    void collectionHoldsOnlyTheLogos();
};

void TestResources::logoLoadsWithAlpha_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("logo") << ":/main/lumo.png" << QSize(77, 72);
    QTest::newRow("double-resolution logo") << ":/main/lumo@2x.png" << QSize(154, 144);
}

void TestResources::logoLoadsWithAlpha()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QCOMPARE(image.size(), size);
    // A palette or RGB file would load in another format, and would not sit cleanly on the
    // window's dark background.
    QCOMPARE(image.format(), QImage::Format_ARGB32);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
}

void TestResources::collectionHoldsOnlyTheLogos()
{
    // Qt's own libraries register these trees in every program that links them.
    const QStringList qtTrees = {":/qt-project.org", ":/qgradient", ":/qpdf"};
    QStringList paths;
    QDirIterator iterator(":/", QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        const QString path = iterator.next();
        const QString tree = path.section('/', 0, 1);
        if (!qtTrees.contains(tree))
            paths.append(path);
    }
    paths.sort();
    QCOMPARE(paths, QStringList({":/main", ":/main/lumo.png", ":/main/lumo@2x.png"}));
}

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
