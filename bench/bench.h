// The program's benchmarks: the window's sending, receiving and logging measured
// against plain baselines in the same run, the printer peers they talk to (each
// in a process of its own, on loopback only), and the table they are reported in.
//
// One executable does it all:
//   kivo-bench all                      runs every measurement and prints the table
//   kivo-bench measure NAME [options]   one measurement; prints "RESULT key=value ..."
//   kivo-bench peer KIND [options]      a printer peer (started by a measurement)
//   kivo-bench startup window|bare      start-up to a shown window (started by "all")
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>
#include <vector>

namespace kivo::bench {

// ---------------------------------------------------------------- clocks, resources

// Monotonic seconds, comparable between processes.
[[nodiscard]] double Now();
// Peak resident memory of this process so far, in KiB.
[[nodiscard]] long PeakRssKb();
// The median, or NaN for no values.
[[nodiscard]] double Median(std::vector<double> values);

// ---------------------------------------------------------------- processes

// This executable's path, for starting copies of it.
[[nodiscard]] QString SelfPath();

// A child process; its output pipe is open while outFd >= 0.
struct Child {
    pid_t pid = -1;
    int outFd = -1;
};

// Starts this executable with the arguments. inheritFds are handed to the child
// as descriptors 3, 4, ...; stdinPath, when given, becomes its standard input;
// its standard output goes to a pipe when captureOutput, else to /dev/null.
[[nodiscard]] std::optional<Child> Spawn(const QString& program, const QStringList& args,
                                         const std::vector<int>& inheritFds, bool captureOutput,
                                         const QString& stdinPath = {});
// Reads the child's output until it closes or the time runs out; then ends the
// child (SIGKILL if it is still running) and reaps it.
[[nodiscard]] QByteArray CollectAndReap(Child& child, double timeoutSeconds);

// How a child ended: its exit code (-1 when a signal ended it), when it was
// reaped (Now()), and the CPU seconds of that child and its own children, not
// of this process or its other children. (Its ru_maxrss would not do for its
// memory: the kernel carries the parent's peak across the exec.)
struct Ending {
    int exitCode = -1;
    double at = 0;
    double cpuSeconds = 0;
};
// Waits for the child to end, at most the time, and reaps it. When the time runs
// out it ends the child (SIGKILL) and gives nothing.
[[nodiscard]] std::optional<Ending> WaitEnding(Child& child, double timeoutSeconds);

// ---------------------------------------------------------------- peers

// The printer port. The window can only connect to it, so every peer listens on
// port 9100 of a loopback address of its own, 127.x.y.z, chosen at random.
inline constexpr int kPrinterPort = 9100;

struct Listener {
    int fd = -1;
    QString address;
};
// A listening socket on port 9100 of a random loopback address. A receive
// buffer size > 0 is set before listening, so connections start with it.
[[nodiscard]] std::optional<Listener> ListenOnPrinterPort(int receiveBuffer = 0);
// A plain blocking TCP connection to port 9100 of the address, or -1.
[[nodiscard]] int ConnectPlain(const QString& address);

// A printer peer in a process of its own, serving one connection on the listener
// (whose descriptor the parent then closes). When it is done it reports one
// count of bytes. Every peer ends by itself after at most its time limit.
//   sink  --expect N          reads as fast as it can until N bytes; reports N
//   slow  --rate B            reads B bytes a second until the connection ends
//   burst --bytes N --seed S  after the first byte it receives, sends MakeBurst(N, S),
//                             then closes its sending side; reports bytes sent
struct Peer {
    Child process;
    int reportFd = -1;
    QString address;  // the listener's
};
// The peer is this executable unless another one that has the "peer" command is named.
[[nodiscard]] std::optional<Peer> StartPeer(Listener& listener, const QStringList& args,
                                            const QString& program = SelfPath());
// The peer's count, or nothing when it ended without one or the time ran out.
[[nodiscard]] std::optional<qint64> WaitReport(Peer& peer, double timeoutSeconds);
void Stop(Peer& peer);

// Runs a peer in this process (the "peer" command); descriptors 3 and 4.
int RunPeer(const QStringList& args);

// What a printer might send back in a flood: runs of 1 to 60 printable bytes,
// each followed by one or two control or high bytes. No run reads like a reply
// name, so every byte can be accounted for in the decoded lines.
[[nodiscard]] QByteArray MakeBurst(qsizetype bytes, quint32 seed);
// The bytes that decoded lines stand for: the name or value of a byte outside
// 32 to 126 is one byte, any other line is its text.
[[nodiscard]] qint64 BytesBehindLines(const QStringList& lines);

// A file of ticket text of exactly that many bytes.
[[nodiscard]] bool WriteTicketFile(const QString& path, qint64 bytes);

// ---------------------------------------------------------------- results

// A measurement's figures, printed as one "RESULT key=value ..." line.
using Figures = QMap<QString, double>;
void PrintResult(const Figures& figures);
// The figures of the RESULT line in a child's output; empty when there is none.
[[nodiscard]] Figures ParseResult(const QByteArray& output);
// A figure, or NaN when it is missing.
[[nodiscard]] double Figure(const Figures& figures, const QString& key);

// Limits and their verdicts: "PASS", "FAIL", or "no figure" when the value is
// missing (a failed run never passes).
enum class Limit { Below, AtLeast, AtMost };
[[nodiscard]] QString Verdict(double value, Limit kind, double limit);

// Seconds that count calls take when a call costs a + b * (lines already in the
// log), with a and b fitted to the cost measured at several log sizes.
[[nodiscard]] double ProjectLinearCost(const std::vector<double>& sizes, const std::vector<double>& costs,
                                       double count);

// One row of a Markdown table; a "|" inside a cell is escaped.
[[nodiscard]] QString MarkdownRow(const QStringList& cells);

// ---------------------------------------------------------------- commands

// "measure NAME ...": one measurement in this process.
int RunMeasure(const QStringList& args);
// "startup window|bare": shows the window and prints when it was exposed.
int RunStartup(const QString& kind);
// "all": every measurement, then the table.
int RunAll(const QStringList& args);
// "send-vs-nc [--runs N]": kivo-send against nc -N alone, N runs of each in
// turn (5 by default), then its row of the table.
int RunSendAgainstNc(const QStringList& args);

}  // namespace kivo::bench
