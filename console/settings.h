// What the window remembers from one run to the next: the printer addresses the
// operator connected to, the copy count, the commands sent, the folder each file
// dialog last opened in, and the window's size and state. Kept with QSettings in
// the user's configuration folder; only what the operator used is ever written.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

namespace kivo {

inline constexpr const char* kSettingsOrganization = "Kivo Systems";
inline constexpr const char* kSettingsApplication = "kivo-socket-test";
inline constexpr int kAddressesKept = 10;

class OperatorSettings {
public:
    // The user's store.
    OperatorSettings();
    // A store in a file of its own.
    explicit OperatorSettings(const QString& path);
    ~OperatorSettings();
    OperatorSettings(const OperatorSettings&) = delete;
    OperatorSettings& operator=(const OperatorSettings&) = delete;

    // Why the stored values could not be used, "" when they could. A damaged or
    // unreadable store is ignored: every value then reads as never stored.
    [[nodiscard]] QString Problem() const { return problem_; }
    [[nodiscard]] QString FileName() const;

    // The last address connected to ("" when none), and the last kAddressesKept,
    // newest first.
    [[nodiscard]] QString LastAddress() const;
    [[nodiscard]] QStringList RecentAddresses() const;
    void RememberAddress(const QString& address);

    [[nodiscard]] QString CopyCount() const;  // "" when none
    void RememberCopyCount(const QString& count);

    [[nodiscard]] QStringList Commands() const;  // oldest first
    void RememberCommands(const QStringList& commands);

    // The folder a file dialog (by its button's name) last opened a file in.
    [[nodiscard]] QString DialogFolder(const QString& dialog) const;
    void RememberDialogFolder(const QString& dialog, const QString& folder);

    [[nodiscard]] bool ShowTimes() const;  // the logs' time column
    void RememberShowTimes(bool show);

    [[nodiscard]] QByteArray WindowGeometry() const;  // empty when none
    void RememberWindowGeometry(const QByteArray& geometry);

    // Writes what is pending now; false when the store cannot be written.
    bool Sync();

private:
    void CheckStore();
    [[nodiscard]] QString Text(const char* key) const;

    std::unique_ptr<QSettings> store_;
    QString problem_;
};

}  // namespace kivo
