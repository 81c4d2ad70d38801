#include "link/stock_tickets.h"

#include "platform/program_folder.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

QString InstalledTicketFolder() { return QStringLiteral(KIVO_TICKETS_FROM_BIN); }

QString StockTicketPath(const QString& fileName, const QString& programFolder) {
    const QString beside = programFolder + QLatin1Char('/') + fileName;
    if (QFileInfo(beside).isFile()) return beside;
    const QString installed =
        QDir::cleanPath(programFolder + QLatin1Char('/') + InstalledTicketFolder() + QLatin1Char('/') + fileName);
    return QFileInfo(installed).isFile() ? installed : beside;
}

QString StockTicketPath(const QString& fileName) { return StockTicketPath(fileName, platform::ProgramFolder()); }

}  // namespace kivo
