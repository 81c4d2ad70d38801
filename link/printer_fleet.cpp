#include "link/printer_fleet.h"

#include <QDir>

#include <sys/resource.h>

#include <algorithm>

namespace kivo {
namespace {

// Descriptors left for what the program opens besides its printer connections:
// files, the search's sockets, Qt's own.
constexpr int kDescriptorMargin = 64;

}  // namespace

PrinterFleet::PrinterFleet(int targets, int parallel, StartCheck start, QObject* parent)
    : QObject(parent), total_(std::max(targets, 0)), parallel_(std::clamp(parallel, 1, std::max(DescriptorRoom(), 1))),
      start_(std::move(start)) {}

int PrinterFleet::DescriptorRoom() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
    const auto open = static_cast<long long>(QDir(QStringLiteral("/proc/self/fd")).count());
    return static_cast<int>(std::max<long long>(static_cast<long long>(limit.rlim_cur) - open - kDescriptorMargin, 1));
}

void PrinterFleet::Start() {
    if (total_ == 0) {
        emit AllDone();
        return;
    }
    StartWaiting();
}

void PrinterFleet::Done(int /*index*/) {
    --running_;
    ++finished_;
    if (finished_ == total_) {
        emit AllDone();
        return;
    }
    StartWaiting();
}

void PrinterFleet::StartWaiting() {
    // A check that ends at once calls Done from within its start: the loop here
    // starts the next one, not a deeper call.
    if (starting_) return;
    starting_ = true;
    while (running_ < parallel_ && next_ < total_) {
        ++running_;
        mostAtOnce_ = std::max(mostAtOnce_, running_);
        start_(next_++);
    }
    starting_ = false;
}

}  // namespace kivo
