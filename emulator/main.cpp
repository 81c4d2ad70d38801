// kivo-printer-emulator: a stand-in for the ticket printer on a TCP port.
#include "emulator/emulator.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>

int main(int argc, char* argv[]) {
    // SIGINT and SIGTERM arrive through a descriptor the server polls, so a stop
    // ends the loop between two steps and the summary still gets printed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivo-printer-emulator"));

    kivo::emu::EmulatorOptions options;
    QString text;
    switch (kivo::emu::ParseEmulatorArguments(QCoreApplication::arguments(), options, text)) {
    case kivo::emu::ParseOutcome::Help:
    case kivo::emu::ParseOutcome::Version: std::fputs(qPrintable(text), stdout); return 0;
    case kivo::emu::ParseOutcome::Error:
        std::fprintf(stderr, "kivo-printer-emulator: %s\n(see --help)\n", qPrintable(text));
        return 2;
    case kivo::emu::ParseOutcome::Run: break;
    }
    if (stopFd < 0) {
        std::perror("kivo-printer-emulator: signalfd");
        return 1;
    }

    kivo::emu::EmulatorServer server(std::move(options));
    QString error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "kivo-printer-emulator: %s\n", qPrintable(error));
        return 1;
    }
    return server.Run(stopFd);
}
