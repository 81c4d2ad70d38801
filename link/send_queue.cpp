#include "link/send_queue.h"

namespace kivo {

void SendQueue::Run(const QString& caption, Job job) {
    if (running_) {
        queue_.push_back(Entry{caption, std::move(job)});
        return;
    }
    running_ = true;
    job();
    while (!queue_.empty()) {
        Job next = std::move(queue_.front().job);
        queue_.pop_front();
        next();
    }
    running_ = false;
    if (idle_) idle_();
}

QStringList SendQueue::DropQueued() {
    QStringList captions;
    for (const Entry& entry : queue_) captions << entry.caption.trimmed();
    queue_.clear();
    return captions;
}

QString DroppedSendsText(const QStringList& captions) {
    if (captions.isEmpty()) return {};
    return (captions.size() == 1 ? QStringLiteral("1 queued send dropped: ")
                                 : QStringLiteral("%1 queued sends dropped: ").arg(captions.size())) +
           captions.join(QStringLiteral(", "));
}

}  // namespace kivo
