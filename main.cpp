// Kivo Systems Socket Test Program: tests a thermal ticket printer over Ethernet.
#include "console/command_line.h"
#include "console/frmkivo.h"
#include "version.h"

#include <QApplication>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    // Keep descriptors 0 to 2 taken, so a socket never gets one of them when the
    // program is started without standard input or output.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", O_RDWR);

    // --help and --version answer before QApplication, which needs a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const kivo::CommandLine commandLine = kivo::ReadCommandLine(arguments);
    switch (commandLine.outcome) {
    case kivo::CommandLine::Outcome::Help:
    case kivo::CommandLine::Outcome::Version: std::fputs(commandLine.text.toLocal8Bit().constData(), stdout); return 0;
    case kivo::CommandLine::Outcome::ListControls:
        std::fputs(qPrintable(kivo::frmkivo::ControlPlaces().join(QLatin1Char('\n')) + QLatin1Char('\n')), stdout);
        return 0;
    case kivo::CommandLine::Outcome::Error:
        std::fprintf(stderr, "kivo-socket-test: %s\n(see --help)\n", commandLine.text.toLocal8Bit().constData());
        return 2;
    case kivo::CommandLine::Outcome::Run: break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kivo Systems Socket Test Program"));
    QApplication::setApplicationVersion(QString::fromLatin1(kivo::kVersion));
    QApplication::setDesktopFileName(QStringLiteral("kivo-socket-test"));
    kivo::frmkivo window;
    window.show();
    return QApplication::exec();
}
