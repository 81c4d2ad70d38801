// Where the test-ticket buttons look for their files: beside the program in
// the build folder, in <prefix>/share/kivo-socket-test when installed, with
// the path beside the program named when the ticket is in neither.
#include "link/stock_tickets.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kivo;

class StockTicketsTest : public QObject {
    Q_OBJECT
private slots:
    void installedFolderIsBesideBin();
    void foundBesideOrInstalled_data();
    void foundBesideOrInstalled();
};

void StockTicketsTest::installedFolderIsBesideBin() {
    QCOMPARE(InstalledTicketFolder(), QStringLiteral("../share/kivo-socket-test"));
}

void StockTicketsTest::foundBesideOrInstalled_data() {
    // clang-format off
    // Files made under a scratch root, relative to it; "usr/bin" holds the program.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expected");
    QTest::newRow("build folder: beside the program")
        << QStringList{"usr/bin/vek_test.txt"} << "usr/bin/vek_test.txt";
    QTest::newRow("installed: the data folder")
        << QStringList{"usr/share/kivo-socket-test/vek_test.txt"} << "usr/share/kivo-socket-test/vek_test.txt";
    QTest::newRow("beside the program wins over the data folder")
        << QStringList{"usr/bin/vek_test.txt", "usr/share/kivo-socket-test/vek_test.txt"} << "usr/bin/vek_test.txt";
    QTest::newRow("in neither: named beside the program") << QStringList{} << "usr/bin/vek_test.txt";
    QTest::newRow("the other ticket only") << QStringList{"usr/share/kivo-socket-test/hp_id.prn"}
                                           << "usr/bin/vek_test.txt";
    QTest::newRow("a folder of that name is not the ticket")
        << QStringList{"usr/bin/vek_test.txt/", "usr/share/kivo-socket-test/vek_test.txt"}
        << "usr/share/kivo-socket-test/vek_test.txt";
    QTest::newRow("another prefix's data folder is not looked in")
        << QStringList{"usr/local/share/kivo-socket-test/vek_test.txt"} << "usr/bin/vek_test.txt";
    // clang-format on
}

void StockTicketsTest::foundBesideOrInstalled() {
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath("usr/bin"));
    for (const QString& file : files) {
        if (file.endsWith(u'/')) {
            QVERIFY(QDir(root.path()).mkpath(file));
            continue;
        }
        QVERIFY(QDir(root.path()).mkpath(QFileInfo(file).path()));
        QFile f(root.filePath(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QCOMPARE(StockTicketPath(QStringLiteral("vek_test.txt"), root.filePath("usr/bin")), root.filePath(expected));
}

QTEST_GUILESS_MAIN(StockTicketsTest)
#include "stock_tickets_test.moc"
