#include "console/command_line.h"

#include "version.h"

#include <QCommandLineParser>

namespace kivo {
namespace {

// What QGuiApplication and QApplication take from a command line; Qt reads them
// with one dash or two.
QList<QCommandLineOption> QtOptions() {
    const auto valued = [](const char* name, const char* help, const char* value) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help), QString::fromLatin1(value));
    };
    const auto flag = [](const char* name, const char* help) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help));
    };
    return {
        valued("platform", "Qt: the platform plugin (xcb, wayland, offscreen, ...).", "name"),
        valued("platformpluginpath", "Qt: a folder to look for platform plugins in.", "path"),
        valued("platformtheme", "Qt: the platform theme.", "name"),
        valued("plugin", "Qt: an extra plugin to load, such as an input device.", "name"),
        valued("display", "Qt (xcb): the X display to use instead of $DISPLAY.", "display"),
        valued("geometry", "Qt (xcb): the window's position, such as +100+50.", "geometry"),
        valued("title", "Qt (xcb): a caption for the window in place of its own.", "title"),
        valued("icon", "Qt (xcb): an image file to use as the window's icon.", "file"),
        valued("name", "Qt (xcb): the window's resource name.", "name"),
        valued("visual", "Qt (xcb): the X visual to use, by its id.", "id"),
        flag("nograb", "Qt (xcb): never grab the mouse or keyboard."),
        flag("dograb", "Qt (xcb): grab even under a debugger."),
        valued("qwindowgeometry", "Qt: the window's position, such as +100+50.", "geometry"),
        valued("qwindowicon", "Qt: an image file to use as the window's icon.", "file"),
        valued("qwindowtitle", "Qt: a caption for the window in place of its own.", "title"),
        flag("reverse", "Qt: lay the window out right to left."),
        valued("session", "Qt: restore from a session manager's session.", "id"),
        valued("style", "Qt: the widget style, such as Fusion.", "style"),
        valued("stylesheet", "Qt: a style sheet file applied to the window.", "file"),
        flag("widgetcount", "Qt: print the number of widgets left at exit."),
    };
}

}  // namespace

CommandLine ReadCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Kivo Systems Socket Test Program: tests a Kivo Systems thermal ticket printer over TCP port 9100.\n"
        "The printer's address is typed into the window. Qt's options may be written with one dash or two.\n"
        "See kivo-socket-test(1)."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    QCommandLineOption listControls(QStringLiteral("list-controls"),
                                    QStringLiteral("Print each control's name and place in pixels, and exit."));
    listControls.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({help, version, listControls});
    parser.addOptions(QtOptions());

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.outcome = CommandLine::Outcome::Error;
        result.text = parser.errorText();
    } else if (parser.isSet(help)) {
        // Qt's first line names the executable only once an application object exists.
        const QString text = parser.helpText();
        result.outcome = CommandLine::Outcome::Help;
        result.text = QStringLiteral("Usage: kivo-socket-test [options]") + text.mid(text.indexOf(u'\n'));
    } else if (parser.isSet(version)) {
        result.outcome = CommandLine::Outcome::Version;
        result.text = QStringLiteral("kivo-socket-test %1\n").arg(QLatin1String(kVersion));
    } else if (parser.isSet(listControls)) {
        result.outcome = CommandLine::Outcome::ListControls;
    } else if (!parser.positionalArguments().isEmpty()) {
        result.outcome = CommandLine::Outcome::Error;
        result.text = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().constFirst());
    }
    return result;
}

}  // namespace kivo
