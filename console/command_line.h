// The command line of kivo-socket-test: --help and --version, read before any
// window exists so that they work without a display, and Qt's own options,
// which are checked here and left to QApplication. A hidden --list-controls
// prints where each control of the window stands, for scripts that click them.
#pragma once

#include <QString>
#include <QStringList>

namespace kivo {

struct CommandLine {
    enum class Outcome { Run, Help, Version, ListControls, Error };
    Outcome outcome = Outcome::Run;
    QString text;  // Help and Version: what to print; Error: why
};

// Reads the arguments, the program's name first.
[[nodiscard]] CommandLine ReadCommandLine(const QStringList& arguments);

}  // namespace kivo
