// The view of a message log: one line a row, all rows of one height, drawing
// only the rows in sight, so appending, selecting and scrolling cost the same
// with ten lines as with ten million. The selected line is highlighted; click,
// arrow keys, Page Up/Down, Home and End move it, and Ctrl+C copies it.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>

namespace kivo {

class LogModel;

class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit LogView(LogModel* model, QWidget* parent = nullptr);

    // The selected row, or -1.
    [[nodiscard]] int CurrentRow() const { return current_; }
    // Selects a row and scrolls it into view.
    void SetCurrentRow(int row);
    [[nodiscard]] bool IsRowVisible(int row) const;
    [[nodiscard]] int RowHeight() const { return rowHeight_; }
    // The row at the top of the view.
    [[nodiscard]] int FirstRow() const { return firstRow_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    [[nodiscard]] int Rows() const;
    [[nodiscard]] int RowsInSight() const;
    // The scroll bars follow the log once per turn of the event loop: setting
    // their range costs far more than appending a line.
    void ScheduleScrollBars();
    void UpdateScrollBars();

    LogModel* model_;
    QTimer scrollBarsTimer_;
    int firstRow_ = 0;  // the row at the top of the view
    int current_ = -1;
    int rowHeight_ = 1;
    int widest_ = 0;  // the widest row drawn so far, in pixels
};

}  // namespace kivo
