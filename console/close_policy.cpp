// What a close request does. Closing is Disconnect first: the same wait for the
// printer and the same lines. While a job runs, bytes wait for the printer or
// its answers are awaited, the operator says first whether to wait for them,
// discard them or stay; a second request during the wait discards. What is
// discarded at close is also written to standard error.
#include "console/frmkivo.h"

#include "link/numbers.h"

#include <QCloseEvent>
#include <QKeyEvent>

#include <cstdio>

namespace kivo {
namespace {

constexpr LogKind kOut = LogKind::Outgoing;
const QString kAtYourRequest = QStringLiteral("discarded at your request");

}  // namespace

void frmkivo::closeEvent(QCloseEvent* event) {
    using State = PrinterSession::State;
    if (askingToClose_) {
        event->ignore();  // the question that is up answers it
        return;
    }
    switch (PrinterSocket.GetState()) {
    case State::Connecting:
        // A connect is given up at once.
        PrinterSocket.CancelConnect();
        break;
    case State::Closing:
        // A second request during the wait discards.
        DiscardAtClose();
        break;
    case State::Connected:
        if (closeWhenClosed_) {
            DiscardAtClose();
            break;
        }
        if (PrinterSocket.Busy() || PrinterSocket.Undelivered() > 0 || PrinterSocket.AwaitingAnswers()) {
            switch (AskBeforeClose()) {
            case CloseAnswer::Cancel: event->ignore(); return;
            case CloseAnswer::DiscardAndClose: DiscardAtClose(); break;
            case CloseAnswer::Wait:
                CloseOnceTaken();
                if (PrinterSocket.GetState() != State::Disconnected) {
                    event->ignore();
                    return;
                }
                break;
            }
            break;
        }
        disconnectAsked_ = true;
        if (!PrinterSocket.Disconnect()) {
            closeWhenClosed_ = true;
            ShowState();
            event->ignore();
            return;
        }
        break;
    case State::Disconnected: break;
    }
    Form_Unload();
    event->accept();
}

QString frmkivo::PendingText() const {
    const qint64 pending = PrinterSocket.Undelivered();
    if (pending > 0)
        return QStringLiteral("%1 not reached the printer yet.")
            .arg(pending == 1 ? QStringLiteral("1 byte has") : Grouped(pending) + QStringLiteral(" bytes have"));
    if (PrinterSocket.Busy()) return QStringLiteral("A send is still running.");
    if (PrinterSocket.AwaitingAnswers()) return QStringLiteral("The printer has not answered every print command yet.");
    return {};
}

frmkivo::CloseAnswer frmkivo::AskBeforeClose() {
    Question question;
    question.title = QString::fromLatin1(kWindowCaption);
    question.text = PendingText();
    question.answers = {QStringLiteral("Wait"), QStringLiteral("Discard and Close"), QStringLiteral("Cancel")};
    question.escapeAnswer = 2;
    // The count stays current; once the printer has everything, or is gone,
    // there is nothing left to wait for and the window closes as asked.
    question.update = [this] {
        return PrinterSocket.GetState() == PrinterSession::State::Connected ? PendingText() : QString();
    };
    question.mootAnswer = 0;
    askingToClose_ = true;
    const qsizetype asked = outLog_.Count();
    const int answer = dialogs_->Ask(question);
    askingToClose_ = false;
    if (answer == 0 || answer == 1) {
        // The window closes, perhaps at once: what was said while the question
        // was up (a loss, the last Done) goes to standard error too.
        mirrorToStandardError_ = true;
        QStringList said;
        for (qsizetype row = asked; row < outLog_.Count(); ++row) said << outLog_.Line(row);
        MirrorToStandardError(said);
    }
    switch (answer) {
    case 0: return CloseAnswer::Wait;
    case 1: return CloseAnswer::DiscardAndClose;
    default: return CloseAnswer::Cancel;
    }
}

void frmkivo::CloseOnceTaken() {
    // From here on, what the close does is written to standard error too.
    mirrorToStandardError_ = true;
    if (PrinterSocket.GetState() != PrinterSession::State::Connected) return;
    const QStringList dropped = PrinterSocket.DropQueued();
    if (PrinterSocket.Handing()) {
        // The running job goes on to its end, the stall rule watching it; then
        // Disconnect's wait, then the close.
        QString line = QStringLiteral("Closing once the printer has taken the running job");
        if (const std::optional<JobState> job = PrinterSocket.RunningJob()) line += QStringLiteral(": ") + job->what;
        if (!dropped.isEmpty()) line += QStringLiteral("; ") + DroppedSendsText(dropped);
        LogMessage(kOut, line);
        closeWhenClosed_ = true;
        disconnectAsked_ = true;  // the close is a Disconnect: its last line too
        PrinterSocket.SetStallWatch(true);
        ShowState();
        return;
    }
    if (!dropped.isEmpty()) LogMessage(kOut, DroppedSendsText(dropped));
    disconnectAsked_ = true;
    if (!PrinterSocket.Disconnect()) {
        closeWhenClosed_ = true;
        ShowState();
    }
}

void frmkivo::DiscardAtClose() {
    mirrorToStandardError_ = true;
    closeWhenClosed_ = false;
    disconnectAsked_ = true;
    PrinterSocket.CancelAndClose();  // names the running job it cancels
    mirrorToStandardError_ = false;
}

void frmkivo::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        switch (PrinterSocket.GetState()) {
        case PrinterSession::State::Connecting: PrinterSocket.CancelConnect(); return;
        case PrinterSession::State::Closing: PrinterSocket.Discard(kAtYourRequest); return;
        default: break;
        }
    }
    QWidget::keyPressEvent(event);
}

void frmkivo::MirrorToStandardError(const QStringList& lines) const {
    if (!mirrorToStandardError_) return;
    for (const QString& line : lines) std::fprintf(stderr, "kivo-socket-test: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace kivo
