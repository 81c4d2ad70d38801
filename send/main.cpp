// kivo-send: the printer checks of the window, from a script.
#include "platform/program_folder.h"
#include "send/find_command.h"
#include "send/fleet_command.h"
#include "send/send_options.h"
#include "send/send_session.h"
#include "version.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivo-send"));
    const kivo::SendCommandLine line =
        kivo::ReadSendCommandLine(QCoreApplication::arguments().mid(1), platform::ProgramFolder());
    switch (line.outcome) {
    case kivo::SendCommandLine::Outcome::Help: std::fputs(line.text.toUtf8().constData(), stdout); return 0;
    case kivo::SendCommandLine::Outcome::Version: std::printf("kivo-send %s\n", kivo::kVersion); return 0;
    case kivo::SendCommandLine::Outcome::Error:
        std::fputs(kivo::UsageError(line.text).toUtf8().constData(), stderr);
        return kivo::kSendUsage;
    case kivo::SendCommandLine::Outcome::Run: break;
    }
    if (line.options.find) return kivo::RunFind(line.options, stdout, stderr);
    if (line.options.Fleet()) return kivo::RunFleet(line.options, stdout, stderr, isatty(STDERR_FILENO) == 1);
    kivo::SendSession session(line.options, stdout, stderr, isatty(STDERR_FILENO) == 1);
    return session.Run();
}
