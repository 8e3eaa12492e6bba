// Pieces of the operators that tests reach directly.
#pragma once

#include "rt/runtime.h"

#include <QDialog>
#include <QStringList>

class QFileDialog;
class QPushButton;

namespace rt {

// The button a generic popup answers for a key: ScriptedOperator::kEnter and
// kEscape map to the popup's enter and escape buttons, any other number is
// the button itself.
int ChooseGenericAnswer(const GenericPopup& popup, int key);

// The name filters a file dialog offers: the default file pattern, then each
// pattern of the type list, then "All files (*)".
QStringList FileNameFilters(const FileSelect& request);

// Closes every open modal dialog as its Escape or Cancel would.
void DismissModalDialogs();

// The settings a file dialog is opened with (tests look at them).
void ConfigureFileDialog(QFileDialog& dialog, const FileSelect& request);

// The dialog behind GenericMessagePopup: exec() returns the button number.
// Enter always chooses enterButton and Escape escapeButton, whichever button
// has the focus; the focus starts on focusButton.
class GenericDialog final : public QDialog {
public:
    explicit GenericDialog(const GenericPopup& popup, QWidget* parent = nullptr);
    // Button 1..3, or nullptr when the popup has no such button.
    QPushButton* button(int number) const;
    void reject() override;

protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    GenericPopup m_popup;
    QPushButton* m_buttons[3] = {nullptr, nullptr, nullptr};
};

} // namespace rt
