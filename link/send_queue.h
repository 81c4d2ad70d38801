// Runs sending jobs one after another. A job that is started while another one
// waits for the printer (the window handles clicks during that wait) is queued
// and runs when the running job has finished, so two jobs never interleave
// their bytes on the connection.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

namespace kivo {

class SendQueue {
public:
    using Job = std::function<void()>;

    // Runs the job now, or queues it when a job is running. `caption` names it
    // (the button clicked) should it be dropped.
    void Run(const QString& caption, Job job);
    // Drops the queued jobs (not the running one); returns their captions.
    QStringList DropQueued();

    [[nodiscard]] bool Busy() const { return running_; }
    [[nodiscard]] int Queued() const { return static_cast<int>(queue_.size()); }

    // Called each time the queue has run dry.
    void SetIdleCallback(std::function<void()> callback) { idle_ = std::move(callback); }

private:
    struct Entry {
        QString caption;
        Job job;
    };
    std::deque<Entry> queue_;
    bool running_ = false;
    std::function<void()> idle_;
};

// "2 queued sends dropped: VEK Test Ticket, Send Text"; empty for none.
[[nodiscard]] QString DroppedSendsText(const QStringList& captions);

}  // namespace kivo
