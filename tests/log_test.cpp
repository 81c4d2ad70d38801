// The logs as values: the selection's ranges, and saving a log to a file.
#include "console/log_export.h"
#include "console/log_model.h"
#include "console/row_selection.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace kivo;

Q_DECLARE_METATYPE(kivo::Severity)

class LogTest : public QObject {
    Q_OBJECT
private slots:
    void selectionKeepsSeparateRanges();
    void saveKeepsEveryLineWithItsTime();
    void savedTimesAreLocalWithTheirOffset_data();
    void savedTimesAreLocalWithTheirOffset();
    void failedSaveLeavesNoFile_data();
    void failedSaveLeavesNoFile();
};

void LogTest::selectionKeepsSeparateRanges() {
    using Ranges = std::vector<RowSelection::Range>;
    RowSelection rows;
    rows.Add(5, 9);
    rows.Add(12, 10);  // touching ranges join
    QCOMPARE(rows.Ranges(), (Ranges{{5, 12}}));
    rows.Toggle(7);
    rows.Toggle(11);
    rows.Add(0, 3);
    QCOMPARE(rows.Ranges(), (Ranges{{0, 3}, {5, 6}, {8, 10}, {12, 12}}));
    rows.Add(4, 8);
    rows.Toggle(12);
    QCOMPARE(rows.Ranges(), (Ranges{{0, 10}}));
    QVERIFY(rows.Contains(10) && !rows.Contains(11));
    rows.SelectOnly(999'999, 0);  // a million lines are one range
    QCOMPARE(rows.Count(), 1'000'000);
    QCOMPARE(rows.Ranges().size(), std::size_t{1});
}

void LogTest::saveKeepsEveryLineWithItsTime() {
    constexpr int kLines = 100'000;
    LogModel log;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QStringList batch;
    for (int i = 0; i < kLines / 2; ++i)
        batch << QStringLiteral("Sending text =>TICKET %1 to IP Address 127.0.0.1").arg(i);
    log.Append(batch);
    for (int i = kLines / 2; i < kLines - 1; ++i) log.Append(QStringLiteral("line %1").arg(i));
    log.Append(std::vector<ReplyLine>{{QStringLiteral("Grüße € \U0001F5A8"), -1}});
    QVERIFY(log.LineTime(0) >= before && log.LineTime(kLines - 1) <= QDateTime::currentMSecsSinceEpoch());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const QDateTime saved = QDateTime::fromMSecsSinceEpoch(1'700'000'000'123);
    QCOMPARE(SaveLog(log, path,
                     {"Kivo Systems Socket Test Program V2.0", "Incoming Printer Data  and Messages",
                      "127.0.0.1 port 9100", saved}),
             QString());

    const QStringList lines = QString::fromUtf8(test::ReadFile(path)).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 6 + kLines + 1);  // the header, a blank line, the lines, the last line's end
    QCOMPARE(lines.first(5), (QStringList{"Kivo Systems Socket Test Program V2.0",
                                          "Log: Incoming Printer Data  and Messages", "Printer: 127.0.0.1 port 9100",
                                          "Saved: " + QString::fromLatin1(TimeText().Iso(saved.toMSecsSinceEpoch())),
                                          "Lines: 100,000"}));
    for (int row = 0; row < kLines; ++row) {
        const QString& line = lines[6 + row];
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        const QDateTime time = QDateTime::fromString(line.left(tab), Qt::ISODateWithMs);
        if (time.toMSecsSinceEpoch() != log.LineTime(row) || line.mid(tab + 1) != log.Line(row))
            QFAIL(qPrintable(QStringLiteral("line %1 reads \"%2\"").arg(row).arg(line)));
    }
    QCOMPARE(lines[6 + kLines - 1].section(QLatin1Char('\t'), 1), QStringLiteral("Grüße € \U0001F5A8"));
}

void LogTest::savedTimesAreLocalWithTheirOffset_data() {
    // clang-format off
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QByteArray>("iso");
    // 2026-12-07 18:42:10.123 UTC
    QTest::newRow("UTC is +00:00, not Z") << QByteArray("UTC") << QByteArray("2026-12-07T18:42:10.123+00:00");
    QTest::newRow("east of Greenwich") << QByteArray("Europe/Berlin") << QByteArray("2026-12-07T19:42:10.123+01:00");
    QTest::newRow("half an hour west") << QByteArray("America/St_Johns")
                                       << QByteArray("2026-12-07T15:12:10.123-03:30");
    // clang-format on
}

void LogTest::savedTimesAreLocalWithTheirOffset() {
    QFETCH(QByteArray, zone);
    QFETCH(QByteArray, iso);
    const QByteArray before = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    const QByteArray written = TimeText().Iso(1'796'668'930'123);
    if (before.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", before);
    tzset();
    QCOMPARE(written, iso);
}

void LogTest::failedSaveLeavesNoFile_data() {
    // clang-format off
    QTest::addColumn<QString>("where");
    QTest::newRow("under a folder that does not exist") << "missing/log.txt";
    QTest::newRow("onto an existing folder") << "folder";
    QTest::newRow("under /proc") << "/proc/kivo-log.txt";
    // clang-format on
}

void LogTest::failedSaveLeavesNoFile() {
    QFETCH(QString, where);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    LogModel log;
    log.Append(QStringLiteral("a line"));
    const QString path = QDir(dir.path()).filePath(where);
    QVERIFY(!SaveLog(log, path, {}).isEmpty());
    QVERIFY(!QFileInfo(path).isFile());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"folder"});  // no half-written file left beside it either
}

QTEST_GUILESS_MAIN(LogTest)
#include "log_test.moc"
