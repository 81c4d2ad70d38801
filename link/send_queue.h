// Runs sending jobs one after another. A job that is started while another one
// waits for the printer (the window handles clicks during that wait) is queued
// and runs when the running job has finished, so two jobs never interleave
// their bytes on the connection.
#pragma once

#include <deque>
#include <functional>

namespace kivo {

class SendQueue {
public:
    using Job = std::function<void()>;

    // Runs the job now, or queues it when a job is running.
    void Run(Job job);
    // Drops the queued jobs (not the running one); returns how many.
    int DropQueued();

    [[nodiscard]] bool Busy() const { return running_; }
    [[nodiscard]] int Queued() const { return static_cast<int>(queue_.size()); }

    // Called each time the queue has run dry.
    void SetIdleCallback(std::function<void()> callback) { idle_ = std::move(callback); }

private:
    std::deque<Job> queue_;
    bool running_ = false;
    std::function<void()> idle_;
};

}  // namespace kivo
