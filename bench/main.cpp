// kivo-bench: see bench/bench.h for its commands.
#include "bench/bench.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    // Headless unless told otherwise; the peers and measurements inherit it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The windows it measures remember what they connect to in a folder of the
    // run's own, never in the user's settings.
    QTemporaryDir config;
    if (!config.isValid()) {
        std::fprintf(stderr, "kivo-bench: cannot make a temporary settings folder\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QStringList args;
    for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const QString command = args.value(0);
    using namespace kivo::bench;
    if (command == QLatin1String("peer")) return RunPeer(args.mid(1));
    if (command == QLatin1String("measure")) return RunMeasure(args.mid(1));
    if (command == QLatin1String("startup")) return RunStartup(args.value(1));
    if (command == QLatin1String("all")) return RunAll(args.mid(1));
    if (command == QLatin1String("send-vs-nc")) return RunSendAgainstNc(args.mid(1));
    std::fprintf(stderr,
                 "usage: kivo-bench all [--quick]\n"
                 "       kivo-bench send-vs-nc [--runs N]\n"
                 "       kivo-bench measure NAME [options]\n"
                 "       kivo-bench peer sink|slow|burst [options]\n"
                 "       kivo-bench startup window|bare\n");
    return 2;
}
