// Tables, progress bars and panel titles: the run-time's calls for the
// controls a panel file makes of QTableWidget and QProgressBar, and for the
// title of a panel's window. A table's commit event is the operator's
// double-click or Enter on a row (see Runtime::FireEvent).
#pragma once

#include <string>
#include <vector>

namespace rt {

class Runtime;

// How a table row is marked.
enum class RowMark { Normal, Stale, Offline, Selected };

// Sets the number of rows of a table. 0, or RT_ERR_BAD_HANDLE / RT_ERR_BAD_ARGUMENT.
int SetTableRowCount(Runtime& rt, int panel, int control, int rows);
int GetTableRowCount(const Runtime& rt, int panel, int control);
// Sets the texts of one row, cell by cell from the first column (cells past
// the table's columns are left out), and marks the row.
int SetTableRow(Runtime& rt, int panel, int control, int row, const std::vector<std::string>& cells,
                RowMark mark = RowMark::Normal);
// Widens each column of a table to its contents.
int FitTableColumns(Runtime& rt, int panel, int control);
// The text of one cell, "" when there is none.
std::string GetTableCell(const Runtime& rt, int panel, int control, int row, int column);
// How a row is marked, Normal when there is no such row.
RowMark GetTableRowMark(const Runtime& rt, int panel, int control, int row);
// The row the operator has chosen (the current row), -1 when none.
int GetTableCurrentRow(const Runtime& rt, int panel, int control);
int SetTableCurrentRow(Runtime& rt, int panel, int control, int row);

// A progress bar: its range and value.
int SetProgress(Runtime& rt, int panel, int control, int value, int maximum);
int GetProgress(const Runtime& rt, int panel, int control, int* value, int* maximum);

// The title of a panel's window.
int SetPanelTitle(Runtime& rt, int panel, const std::string& title);
std::string GetPanelTitle(const Runtime& rt, int panel);

} // namespace rt
