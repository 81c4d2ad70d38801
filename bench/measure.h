// The single measurements behind "kivo-bench measure NAME", and what they share:
// an offscreen application, a shown window connected to a peer, and options.
#pragma once

#include "bench/bench.h"

#include <QApplication>
#include <functional>
#include <memory>
#include <optional>

namespace kivo {
class frmkivo;
}

namespace kivo::bench {

// The value after the option name, or the fallback.
[[nodiscard]] QString TextOption(const QStringList& args, const QString& name, const QString& fallback = {});
[[nodiscard]] double NumberOption(const QStringList& args, const QString& name, double fallback);

[[nodiscard]] std::unique_ptr<QApplication> MakeApplication();
// Shows the widget and waits until it is exposed.
[[nodiscard]] bool ShowAndExpose(QWidget& widget);
// A peer of this executable (see StartPeer) on a listener of its own (see
// ListenOnPrinterPort); nothing when either fails.
[[nodiscard]] std::optional<Peer> StartListeningPeer(const QStringList& args, int receiveBuffer = 0);
// Types the address and clicks Connect; true once the window says it is connected.
[[nodiscard]] bool ConnectWindow(frmkivo& window, const QString& address);
// Runs the event loop until `done` holds or the time is up; whether it holds.
bool RunLoopUntil(const std::function<bool()>& done, double timeoutSeconds);
// Runs the event loop for that long, waking for nothing of its own.
void RunLoopFor(double seconds);
// A peer's count, the event loop running meanwhile (the window sends only then).
[[nodiscard]] std::optional<qint64> WaitReportLooping(Peer& peer, double timeoutSeconds);

// Sending (send_bench.cpp).
int MeasureCpuWait(const QStringList& args);
int MeasureDisconnectWait(const QStringList& args);
int MeasureSendProgram(const QStringList& args);
int MeasureSendLoop(const QStringList& args);
int MeasureSendNc(const QStringList& args);
int MeasureSendKivo(const QStringList& args);

// Receiving and logging (log_bench.cpp).
int MeasureDecodeWindow(const QStringList& args);
int MeasureDecodePlain(const QStringList& args);
int MeasureLogSingle(const QStringList& args);
int MeasureLogModelOnly(const QStringList& args);
int MeasureLogBatch(const QStringList& args);
int MeasureLogPlainModel(const QStringList& args);
int MeasureLogCopy(const QStringList& args);
int MeasureLogSave(const QStringList& args);

// Finding printers against nmap, in a network namespace (find_bench.cpp).
int MeasureFind(const QStringList& args);
int MeasureFleet(const QStringList& args);

}  // namespace kivo::bench
