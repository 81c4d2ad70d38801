// The view of a message log: one line a row, all rows of one height, drawing
// only the rows in sight, so appending, selecting and scrolling cost the same
// with ten lines as with ten million. Faults show in red and warnings in amber,
// with a stripe that stays on a selected line; a time column can be shown. Click,
// Shift and Ctrl with click or arrow keys, Ctrl+A and Ctrl+C select and copy;
// a context menu copies, selects all, saves, clears and shows the times.
#pragma once

#include "console/log_export.h"
#include "console/row_selection.h"

#include <QAbstractScrollArea>
#include <QTimer>

#include <functional>

class QAction;

namespace kivo {

class LogModel;

class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    // Asks where to save the log; "" for a cancel.
    using SaveChooser = std::function<QString(QWidget* parent, const QString& suggestedPath)>;

    explicit LogView(LogModel* model, QWidget* parent = nullptr);

    // The row the keys move from, or -1.
    [[nodiscard]] int CurrentRow() const { return current_; }
    // Selects this one row and scrolls it into view.
    void SetCurrentRow(int row);
    // After lines were appended: selects the newest line and scrolls to it, as
    // long as the operator has not picked other lines or scrolled away from it.
    void FollowNewest();
    [[nodiscard]] bool IsRowVisible(int row) const;
    [[nodiscard]] int RowHeight() const { return rowHeight_; }
    // The row at the top of the view.
    [[nodiscard]] int FirstRow() const { return firstRow_; }

    [[nodiscard]] const RowSelection& Selection() const { return selection_; }
    [[nodiscard]] const LogModel& Model() const { return *model_; }
    void SelectAll();
    // Puts the selected lines on the clipboard (with times when they show).
    void Copy();
    // Asks for a path and saves the whole log there.
    void SaveAs();
    void ClearLog();

    [[nodiscard]] bool ShowTimes() const { return showTimes_; }
    void SetShowTimes(bool show);

    // Where Save As asks for a path; QFileDialog by default.
    void SetSaveChooser(SaveChooser chooser) { chooser_ = std::move(chooser); }
    // What a saved file starts with, asked for at each save.
    void SetFileHeader(std::function<LogFileHeader()> header) { header_ = std::move(header); }

    // The context menu's actions: Copy, Select All, Save As..., Clear This Log, Show Times.
    [[nodiscard]] QList<QAction*> MenuActions() const { return actions(); }

signals:
    // The operator turned the time column on or off.
    void showTimesToggled(bool show);
    // A save failed; the line says why, for the outgoing log.
    void saveFailed(const QString& line);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    [[nodiscard]] int Rows() const;
    [[nodiscard]] int RowsInSight() const;
    [[nodiscard]] int RowAt(int y) const;
    [[nodiscard]] int TimeColumnWidth() const;
    // Moves the current row as the operator asked: alone, extending the
    // selection from the anchor, or adding to it.
    void MoveTo(int row, Qt::KeyboardModifiers modifiers);
    void ScrollTo(int row);
    // Whether appended lines should move the selection and the view along.
    void UpdateFollowing();
    // The scroll bars follow the log once per turn of the event loop: setting
    // their range costs far more than appending a line.
    void ScheduleScrollBars();
    // Tells assistive technology which line is now current and selected.
    void TellSelection();
    void UpdateScrollBars();
    QAction* AddMenuAction(const QString& text, const QKeySequence& keys, void (LogView::*slot)());

    LogModel* model_;
    QTimer scrollBarsTimer_;
    RowSelection selection_;
    int firstRow_ = 0;  // the row at the top of the view
    int current_ = -1;
    int anchor_ = -1;  // where Shift extends the selection from
    int rowHeight_ = 1;
    int widest_ = 0;  // the widest row drawn so far, in pixels
    bool following_ = true;
    bool updatingBars_ = false;
    bool barsChanged_ = false;
    bool showTimes_ = false;
    QAction* showTimesAction_ = nullptr;
    SaveChooser chooser_;
    std::function<LogFileHeader()> header_;
};

}  // namespace kivo
