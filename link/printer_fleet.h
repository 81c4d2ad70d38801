// Many printers at once: one check on each, each on its own connection, at most
// so many at a time, the others waiting their turn in order. Both front ends
// use it (kivo-send's printers, the Find Printers dialog's Test Selected); what
// a check is, they say.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace kivo {

struct PrinterTarget {
    QString address;
    int port = 9100;
};

class PrinterFleet : public QObject {
    Q_OBJECT
public:
    // Starts the check of target `index`; the check calls Done(index) when it has ended.
    using StartCheck = std::function<void(int index)>;

    // `parallel` is held below what the process may open (see DescriptorRoom).
    PrinterFleet(int targets, int parallel, StartCheck start, QObject* parent = nullptr);

    void Start();
    // A check has ended: the next waiting one starts.
    void Done(int index);

    [[nodiscard]] int Total() const { return total_; }
    [[nodiscard]] int Finished() const { return finished_; }
    [[nodiscard]] int Running() const { return running_; }
    [[nodiscard]] int Parallel() const { return parallel_; }
    // The most checks that ran at once.
    [[nodiscard]] int MostAtOnce() const { return mostAtOnce_; }

    // Connections the process may open at once beside what it already holds,
    // with a margin for the program's own files.
    [[nodiscard]] static int DescriptorRoom();

signals:
    void AllDone();

private:
    void StartWaiting();

    int total_;
    int parallel_;
    StartCheck start_;
    int next_ = 0;
    int running_ = 0;
    int finished_ = 0;
    int mostAtOnce_ = 0;
    bool starting_ = false;
};

}  // namespace kivo
