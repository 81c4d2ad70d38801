#include "link/send_queue.h"

namespace kivo {

void SendQueue::Run(Job job) {
    if (running_) {
        queue_.push_back(std::move(job));
        return;
    }
    running_ = true;
    job();
    while (!queue_.empty()) {
        Job next = std::move(queue_.front());
        queue_.pop_front();
        next();
    }
    running_ = false;
    if (idle_) idle_();
}

int SendQueue::DropQueued() {
    const int dropped = static_cast<int>(queue_.size());
    queue_.clear();
    return dropped;
}

}  // namespace kivo
