// Where the two stock test tickets are: beside the executable in the build
// folder, or in the installed data folder (<prefix>/share/kivo-socket-test).
#pragma once

#include <QString>

namespace kivo {

// The installed data folder, relative to the folder that holds the executable.
[[nodiscard]] QString InstalledTicketFolder();

// The full path of a stock ticket ("vek_test.txt", "hp_id.prn") for a program
// in programFolder: the file beside the program when it is there, else the
// installed one when that is there, else the path beside the program, so that
// a missing ticket is still named where it was looked for first.
[[nodiscard]] QString StockTicketPath(const QString& fileName, const QString& programFolder);

// The same for this program's own folder.
[[nodiscard]] QString StockTicketPath(const QString& fileName);

}  // namespace kivo
