// What the window asks of the person at it: a file to open or to save to, a
// message to read, a question to answer. The window shows Qt's dialogs; tests
// hand a window answers of their own, so nothing here is process-wide.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace kivo {

// The file-open dialog as a handler sets it up before each showing. ShowOpen
// leaves the chosen full path in FileName, or leaves FileName as it was (the
// handlers clear it first) when the operator cancels.
class OperatorDialogs;
class CommonDialog {
public:
    QString DefaultExt;  // the handler's own file kind; no suffix is added to a typed name
    QString Filter;      // "description|pattern|description|pattern..."
    QString FileName;
    bool CancelError = false;
    QString InitDir;
    QString DialogTitle;

    void ShowOpen(OperatorDialogs& dialogs);
};

// A question with several answers, one of them the default (Enter) and one the
// answer that Escape and the window's close button give.
struct Question {
    QString title;
    QString text;
    QStringList answers;
    int defaultAnswer = 0;
    int escapeAnswer = 0;
    // While the question is up, its text as it is now; empty when the question
    // has become moot, which ends it with `mootAnswer`. None: the text stays.
    std::function<QString()> update;
    int mootAnswer = 0;
};

class OperatorDialogs {
public:
    virtual ~OperatorDialogs() = default;

    // The full path of the file chosen in the dialog set up as `dialog`, or ""
    // when the operator cancelled.
    [[nodiscard]] virtual QString ChooseFile(const CommonDialog& dialog) = 0;
    // The path to save to, or "" when the operator cancelled.
    [[nodiscard]] virtual QString ChooseSaveFile(const QString& title, const QString& suggestedPath,
                                                 const QString& filter) = 0;
    // A modal message with a single OK button.
    virtual void ShowMessage(const QString& prompt, const QString& title) = 0;
    // The index of the answer chosen.
    [[nodiscard]] virtual int Ask(const Question& question) = 0;
};

// Qt's own dialogs, modal to a parent window.
class QtDialogs : public OperatorDialogs {
public:
    explicit QtDialogs(QWidget* parent) : parent_(parent) {}

    [[nodiscard]] QString ChooseFile(const CommonDialog& dialog) override;
    [[nodiscard]] QString ChooseSaveFile(const QString& title, const QString& suggestedPath,
                                         const QString& filter) override;
    void ShowMessage(const QString& prompt, const QString& title) override;
    [[nodiscard]] int Ask(const Question& question) override;

private:
    QWidget* parent_;
};

// "text files(*.txt)|*.txt|all files(*.*)|*.*" as the name filters of Qt's dialog.
[[nodiscard]] QStringList FilterToNameFilters(const QString& filter);

}  // namespace kivo
