#include "rt/table.h"

#include "rt/runtime.h"

#include <QBrush>
#include <QColor>
#include <QProgressBar>
#include <QTableWidget>

#include <algorithm>

namespace rt {

namespace {

// The mark travels with the row's first cell, so that tests and the
// program read back what the operator sees.
constexpr int kMarkRole = Qt::UserRole + 1;

QTableWidget* Table(const Runtime& rt, int panel, int control)
{
    return qobject_cast<QTableWidget*>(rt.controlWidget(panel, control));
}

int Failure(const Runtime& rt, int panel, int control)
{
    return rt.controlWidget(panel, control) ? RT_ERR_BAD_ARGUMENT : RT_ERR_BAD_HANDLE;
}

void Paint(QTableWidgetItem* item, RowMark mark)
{
    switch (mark) {
    case RowMark::Normal:
        item->setBackground(QBrush());
        item->setForeground(QBrush());
        break;
    case RowMark::Selected:
        item->setBackground(QColor(0xDD, 0xEB, 0xF7));
        item->setForeground(QBrush());
        break;
    case RowMark::Stale:
        item->setBackground(QColor(0xFF, 0xF4, 0xD6));
        item->setForeground(QColor(0x7A, 0x5B, 0x00));
        break;
    case RowMark::Offline:
        item->setBackground(QColor(0xF9, 0xDE, 0xDC));
        item->setForeground(QColor(0x8A, 0x1C, 0x14));
        break;
    }
}

} // namespace

int SetTableRowCount(Runtime& rt, int panel, int control, int rows)
{
    QTableWidget* t = Table(rt, panel, control);
    if (!t)
        return Failure(rt, panel, control);
    if (rows < 0)
        return RT_ERR_BAD_ARGUMENT;
    t->setRowCount(rows);
    return 0;
}

int GetTableRowCount(const Runtime& rt, int panel, int control)
{
    const QTableWidget* t = Table(rt, panel, control);
    return t ? t->rowCount() : Failure(rt, panel, control);
}

int SetTableRow(Runtime& rt, int panel, int control, int row, const std::vector<std::string>& cells, RowMark mark)
{
    QTableWidget* t = Table(rt, panel, control);
    if (!t)
        return Failure(rt, panel, control);
    if (row < 0 || row >= t->rowCount())
        return RT_ERR_BAD_ARGUMENT;
    for (int col = 0; col < t->columnCount(); ++col) {
        QTableWidgetItem* item = t->item(row, col);
        if (!item) {
            item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            t->setItem(row, col, item);
        }
        const std::size_t k = static_cast<std::size_t>(col);
        item->setText(k < cells.size() ? QString::fromStdString(cells[k]) : QString());
        item->setData(kMarkRole, static_cast<int>(mark));
        Paint(item, mark);
    }
    return 0;
}

int FitTableColumns(Runtime& rt, int panel, int control)
{
    QTableWidget* t = Table(rt, panel, control);
    if (!t)
        return Failure(rt, panel, control);
    t->resizeColumnsToContents();
    return 0;
}

std::string GetTableCell(const Runtime& rt, int panel, int control, int row, int column)
{
    const QTableWidget* t = Table(rt, panel, control);
    const QTableWidgetItem* item = t ? t->item(row, column) : nullptr;
    return item ? item->text().toStdString() : std::string();
}

RowMark GetTableRowMark(const Runtime& rt, int panel, int control, int row)
{
    const QTableWidget* t = Table(rt, panel, control);
    const QTableWidgetItem* item = t ? t->item(row, 0) : nullptr;
    return item ? static_cast<RowMark>(item->data(kMarkRole).toInt()) : RowMark::Normal;
}

int GetTableCurrentRow(const Runtime& rt, int panel, int control)
{
    const QTableWidget* t = Table(rt, panel, control);
    return t ? t->currentRow() : -1;
}

int SetTableCurrentRow(Runtime& rt, int panel, int control, int row)
{
    QTableWidget* t = Table(rt, panel, control);
    if (!t)
        return Failure(rt, panel, control);
    if (row < -1 || row >= t->rowCount())
        return RT_ERR_BAD_ARGUMENT;
    if (row < 0)
        t->setCurrentItem(nullptr);
    else
        t->setCurrentCell(row, 0);
    return 0;
}

int SetProgress(Runtime& rt, int panel, int control, int value, int maximum)
{
    auto* bar = qobject_cast<QProgressBar*>(rt.controlWidget(panel, control));
    if (!bar)
        return Failure(rt, panel, control);
    bar->setRange(0, std::max(maximum, 0));
    bar->setValue(std::clamp(value, 0, std::max(maximum, 0)));
    return 0;
}

int GetProgress(const Runtime& rt, int panel, int control, int* value, int* maximum)
{
    const auto* bar = qobject_cast<const QProgressBar*>(rt.controlWidget(panel, control));
    if (!bar)
        return Failure(rt, panel, control);
    if (value)
        *value = bar->value();
    if (maximum)
        *maximum = bar->maximum();
    return 0;
}

int SetPanelTitle(Runtime& rt, int panel, const std::string& title)
{
    QWidget* w = rt.panelWidget(panel);
    if (!w)
        return RT_ERR_BAD_HANDLE;
    w->setWindowTitle(QString::fromStdString(title));
    // A top-level panel sits in a scroller window of its own.
    if (QWidget* top = w->window(); top != w)
        top->setWindowTitle(QString::fromStdString(title));
    return 0;
}

std::string GetPanelTitle(const Runtime& rt, int panel)
{
    const QWidget* w = rt.panelWidget(panel);
    return w ? w->windowTitle().toStdString() : std::string();
}

} // namespace rt
