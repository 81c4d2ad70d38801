#include "console/operator_dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace kivo {

void CommonDialog::ShowOpen(OperatorDialogs& dialogs) {
    const QString chosen = dialogs.ChooseFile(*this);
    // A cancel leaves FileName as it was: the caller cleared it beforehand.
    if (!chosen.isEmpty()) FileName = chosen;
}

QStringList FilterToNameFilters(const QString& filter) {
    QStringList out;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // Qt reads the patterns from the last parentheses of a filter; a
        // description that already ends in its patterns is taken as it is.
        if (parts[i].endsWith(QStringLiteral("(%1)").arg(patterns)))
            out << parts[i];
        else
            out << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return out;
}

QString QtDialogs::ChooseFile(const CommonDialog& setup) {
    QFileDialog dialog(parent_, setup.DialogTitle.isEmpty() ? QStringLiteral("Open") : setup.DialogTitle,
                       setup.InitDir);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(FilterToNameFilters(setup.Filter));
    // No default suffix from DefaultExt: Qt's dialog would add it to a typed
    // name without an extension, and "TICKET" would be looked for as "TICKET.txt".
    if (!setup.FileName.isEmpty()) dialog.selectFile(setup.FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
}

QString QtDialogs::ChooseSaveFile(const QString& title, const QString& suggestedPath, const QString& filter) {
    QFileDialog dialog(parent_, title, suggestedPath);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(FilterToNameFilters(filter));
    if (!suggestedPath.isEmpty()) dialog.selectFile(suggestedPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
}

void QtDialogs::ShowMessage(const QString& prompt, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, parent_);
    box.exec();
}

int QtDialogs::Ask(const Question& question) {
    QMessageBox box(QMessageBox::Question, question.title, question.text, QMessageBox::NoButton, parent_);
    QList<QPushButton*> buttons;
    for (const QString& answer : question.answers) buttons << box.addButton(answer, QMessageBox::ActionRole);
    if (buttons.isEmpty()) return -1;
    if (question.defaultAnswer >= 0 && question.defaultAnswer < buttons.size())
        box.setDefaultButton(buttons[question.defaultAnswer]);
    if (question.escapeAnswer >= 0 && question.escapeAnswer < buttons.size())
        box.setEscapeButton(buttons[question.escapeAnswer]);
    // A question about something that goes on (bytes on their way) keeps its
    // text current, and ends by itself once there is nothing left to ask about.
    bool moot = false;
    QTimer refresh;
    if (question.update) {
        QObject::connect(&refresh, &QTimer::timeout, &box, [&] {
            const QString text = question.update();
            if (text.isEmpty()) {
                moot = true;
                box.done(0);
            } else if (text != box.text()) {
                box.setText(text);
            }
        });
        refresh.start(250);
    }
    box.exec();
    if (moot) return question.mootAnswer;
    const auto chosen = buttons.indexOf(static_cast<QPushButton*>(box.clickedButton()));
    return chosen >= 0 ? static_cast<int>(chosen) : question.escapeAnswer;
}

}  // namespace kivo
