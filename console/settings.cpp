#include "console/settings.h"

#include <QSettings>

namespace kivo {
namespace {

constexpr char kLastAddress[] = "connection/lastAddress";
constexpr char kRecentAddresses[] = "connection/recentAddresses";
constexpr char kCopyCount[] = "send/copies";
constexpr char kCommands[] = "send/commands";
constexpr char kGeometry[] = "window/geometry";
constexpr char kShowTimes[] = "logs/showTimes";

QString DialogKey(const QString& dialog) { return QStringLiteral("dialogs/") + dialog; }

}  // namespace

OperatorSettings::OperatorSettings()
    : store_(std::make_unique<QSettings>(QString::fromLatin1(kSettingsOrganization),
                                         QString::fromLatin1(kSettingsApplication))) {
    CheckStore();
}

OperatorSettings::OperatorSettings(const QString& path)
    : store_(std::make_unique<QSettings>(path, QSettings::IniFormat)) {
    CheckStore();
}

OperatorSettings::~OperatorSettings() = default;

void OperatorSettings::CheckStore() {
    // Each part of the file is read on the first look at a value in it: look at
    // them all, so that the status tells of damage anywhere.
    (void)store_->allKeys();
    switch (store_->status()) {
    case QSettings::NoError: break;
    case QSettings::FormatError:
        problem_ = QStringLiteral("The settings in %1 are damaged and were ignored").arg(FileName());
        break;
    case QSettings::AccessError:
        problem_ = QStringLiteral("The settings in %1 cannot be read and were ignored").arg(FileName());
        break;
    }
}

QString OperatorSettings::FileName() const { return store_->fileName(); }

QString OperatorSettings::Text(const char* key) const {
    if (!problem_.isEmpty()) return {};
    return store_->value(QLatin1String(key)).toString();
}

QString OperatorSettings::LastAddress() const { return Text(kLastAddress).trimmed(); }

QStringList OperatorSettings::RecentAddresses() const {
    if (!problem_.isEmpty()) return {};
    QStringList addresses;
    for (const QString& address : store_->value(QLatin1String(kRecentAddresses)).toStringList()) {
        const QString trimmed = address.trimmed();
        if (!trimmed.isEmpty() && !addresses.contains(trimmed)) addresses << trimmed;
    }
    return addresses.mid(0, kAddressesKept);
}

void OperatorSettings::RememberAddress(const QString& address) {
    QStringList addresses = RecentAddresses();
    // The same printer again: nothing to write.
    if (LastAddress() == address && addresses.value(0) == address) return;
    addresses.removeAll(address);
    addresses.prepend(address);
    store_->setValue(QLatin1String(kLastAddress), address);
    store_->setValue(QLatin1String(kRecentAddresses), addresses.mid(0, kAddressesKept));
}

bool OperatorSettings::ShowTimes() const { return Text(kShowTimes) == QLatin1String("true"); }

void OperatorSettings::RememberShowTimes(bool show) { store_->setValue(QLatin1String(kShowTimes), show); }

QString OperatorSettings::CopyCount() const { return Text(kCopyCount); }

void OperatorSettings::RememberCopyCount(const QString& count) { store_->setValue(QLatin1String(kCopyCount), count); }

QStringList OperatorSettings::Commands() const {
    if (!problem_.isEmpty()) return {};
    return store_->value(QLatin1String(kCommands)).toStringList();
}

void OperatorSettings::RememberCommands(const QStringList& commands) {
    store_->setValue(QLatin1String(kCommands), commands);
}

QString OperatorSettings::DialogFolder(const QString& dialog) const {
    if (!problem_.isEmpty()) return {};
    return store_->value(DialogKey(dialog)).toString();
}

void OperatorSettings::RememberDialogFolder(const QString& dialog, const QString& folder) {
    store_->setValue(DialogKey(dialog), folder);
}

QByteArray OperatorSettings::WindowGeometry() const {
    if (!problem_.isEmpty()) return {};
    return store_->value(QLatin1String(kGeometry)).toByteArray();
}

void OperatorSettings::RememberWindowGeometry(const QByteArray& geometry) {
    store_->setValue(QLatin1String(kGeometry), geometry);
}

bool OperatorSettings::Sync() {
    store_->sync();
    return store_->status() == QSettings::NoError;
}

}  // namespace kivo
