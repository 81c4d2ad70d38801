// kivo-icon-render: writes the window's icon as the installed hicolor icons,
//   OUTDIR/<N>x<N>/apps/kivo-socket-test.png for each size given, and
//   OUTDIR/scalable/apps/kivo-socket-test.svg.
// Run by the build; not installed. The icon is painted on a QImage, which needs
// no window system: no QGuiApplication, so no platform plugin is loaded, and the
// sanitizer build runs it with leak detection on like every other program.
#include "console/app_icon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: kivo-icon-render OUTDIR SIZE...\n");
        return 2;
    }
    const QDir out(arguments.at(1));
    const auto fail = [](const QString& what) {
        std::fprintf(stderr, "kivo-icon-render: cannot write %s\n", qPrintable(what));
        return 1;
    };
    for (const QString& sizeText : arguments.mid(2)) {
        bool ok = false;
        const int size = sizeText.toInt(&ok);
        if (!ok || size < 1) return fail(QStringLiteral("an icon of size ") + sizeText);
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString path = out.filePath(folder + QStringLiteral("/kivo-socket-test.png"));
        if (!out.mkpath(folder) || !kivo::IconImage(size).save(path, "PNG")) return fail(path);
    }
    const QString svgPath = out.filePath(QStringLiteral("scalable/apps/kivo-socket-test.svg"));
    QFile svg(svgPath);
    if (!out.mkpath(QStringLiteral("scalable/apps")) || !svg.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        svg.write(kivo::IconSvg().toUtf8()) < 0 || !svg.flush())
        return fail(svgPath);
    return 0;
}
