// The command lines of both programs as a technician types them on a machine
// without a display: --help and --version answer, a wrong option is refused,
// and neither needs a window system.
#include "version.h"

#include <QProcess>
#include <QTest>

namespace {

struct Run {
    bool finished = false;
    int exitCode = -1;
    QByteArray out, err;
};

Run RunWithoutDisplay(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run run;
    run.finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (!run.finished) process.kill();
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

}  // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void answersWithoutDisplay_data();
    void answersWithoutDisplay();
    void helpListsQtOptions();
};

void CommandLineTest::answersWithoutDisplay_data() {
    // clang-format off
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");  // the whole of standard output; "*" stands for any
    QTest::addColumn<QByteArray>("err");  // what standard error contains

    const QString window = QStringLiteral(KIVO_PROGRAM_PATH);
    const QByteArray version = "kivo-socket-test " + QByteArray(kivo::kVersion) + "\n";
    QTest::newRow("--version") << window << QStringList{"--version"} << 0 << version << QByteArray();
    QTest::newRow("-v") << window << QStringList{"-v"} << 0 << version << QByteArray();
    QTest::newRow("Qt option before --version") << window << QStringList{"-platform", "xcb", "--version"} << 0
                                                << version << QByteArray();
    QTest::newRow("--help") << window << QStringList{"--help"} << 0 << QByteArray("*") << QByteArray();
    QTest::newRow("-h with a Qt option") << window << QStringList{"-style", "Fusion", "-h"} << 0 << QByteArray("*")
                                         << QByteArray();
    QTest::newRow("unknown option") << window << QStringList{"--colour"} << 2 << QByteArray()
                                    << QByteArray("kivo-socket-test: Unknown option 'colour'.");
    QTest::newRow("Qt option without its value") << window << QStringList{"-platform"} << 2 << QByteArray()
                                                 << QByteArray("Missing value after '-platform'.");
    QTest::newRow("--list-controls") << window << QStringList{"--list-controls"} << 0
                                     << QByteArray("*IP_Address 240 24 169 33\n") << QByteArray();
    QTest::newRow("an address is typed in the window") << window << QStringList{"10.0.0.192"} << 2 << QByteArray()
                                                       << QByteArray("unexpected argument: 10.0.0.192");
#ifdef KIVO_EMULATOR_PATH
    QTest::newRow("emulator --version") << QStringLiteral(KIVO_EMULATOR_PATH) << QStringList{"--version"} << 0
                                        << "kivo-printer-emulator " + QByteArray(kivo::kVersion) + "\n"
                                        << QByteArray();
#endif
    // clang-format on
}

void CommandLineTest::answersWithoutDisplay() {
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    const Run run = RunWithoutDisplay(program, arguments);
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, exitCode);
    if (out == "*")
        QVERIFY(run.out.startsWith("Usage: kivo-socket-test [options]\n"));
    else if (out.startsWith('*'))  // a line among others
        QVERIFY2(run.out.contains(out.mid(1)), run.out.constData());
    else
        QCOMPARE(run.out, out);
    if (err.isEmpty())
        QCOMPARE(run.err, QByteArray());
    else
        QVERIFY2(run.err.contains(err), run.err.constData());
}

void CommandLineTest::helpListsQtOptions() {
    const Run run = RunWithoutDisplay(QStringLiteral(KIVO_PROGRAM_PATH), {"--help"});
    QVERIFY(run.finished);
    for (const char* option : {"-h, --help", "-v, --version", "--platform <name>", "--display <display>",
                               "--geometry <geometry>", "--style <style>", "--stylesheet <file>", "--reverse",
                               "--qwindowgeometry <geometry>", "--qwindowtitle <title>", "--qwindowicon <file>"})
        QVERIFY2(run.out.contains(option), option);
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "command_line_test.moc"
