// Reads an arbitrary file as the window's settings store. Whatever the file
// holds, every value reads without a crash, a damaged store reads as empty,
// the remembered addresses are at most kAddressesKept, trimmed and distinct,
// and an address remembered now is the last one.
#include "console/settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    kivo::OperatorSettings settings(path);
    const QStringList addresses = settings.RecentAddresses();
    if (addresses.size() > kivo::kAddressesKept) std::abort();
    for (const QString& address : addresses)
        if (address.isEmpty() || address != address.trimmed() || addresses.count(address) != 1) std::abort();
    (void)settings.LastAddress();
    (void)settings.CopyCount();
    (void)settings.Commands();
    (void)settings.DialogFolder(QStringLiteral("CmdFile"));
    (void)settings.ShowTimes();
    (void)settings.WindowGeometry();
    if (!settings.Problem().isEmpty()) {
        if (!settings.LastAddress().isEmpty() || !addresses.isEmpty() || !settings.Commands().isEmpty()) std::abort();
        return 0;
    }
    settings.RememberAddress(QStringLiteral("10.1.2.3"));
    if (settings.LastAddress() != QLatin1String("10.1.2.3") || settings.RecentAddresses().value(0) != "10.1.2.3")
        std::abort();
    return 0;
}
