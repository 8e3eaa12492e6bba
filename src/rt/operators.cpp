// The two operators: a script for tests and real dialogs for the desk.
#include "rt/operators.h"
#include "rt/runtime.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace rt {

// ---------------------------------------------------------------- scripted

void ScriptedOperator::record(Shown s)
{
    m_shown.push_back(std::move(s));
    if (m_whileShown) {
        const Shown copy = m_shown.back();  // the hook may show more
        m_whileShown(copy);
    }
}

void ScriptedOperator::message(const std::string& title, const std::string& text)
{
    record({"message", title, text, {}});
}

void ScriptedOperator::messageWithInfo(const std::string& title, const std::string& text,
                                       const std::string& informative)
{
    record({"message", title, text, informative});
}

int ScriptedOperator::generic(const GenericPopup& popup)
{
    m_lastGeneric = popup;
    record({"generic", popup.title, popup.text, {}});
    int answer = kEscape;
    if (!m_buttons.empty()) {
        answer = m_buttons.front();
        m_buttons.erase(m_buttons.begin());
    }
    return ChooseGenericAnswer(popup, answer);
}

int ScriptedOperator::fileSelect(const FileSelect& request, std::string* path)
{
    m_lastFile = request;
    record({"file", request.title, "", {}});
    if (m_files.empty())
        return 0;
    const FileAnswer a = m_files.front();
    m_files.erase(m_files.begin());
    if (path && a.result > 0)
        *path = a.path;
    return a.result;
}

std::vector<std::string> ScriptedOperator::titles() const
{
    std::vector<std::string> out;
    for (const Shown& s : m_shown)
        out.push_back(s.title);
    return out;
}

int ScriptedOperator::count(const std::string& title) const
{
    return static_cast<int>(std::count_if(m_shown.begin(), m_shown.end(),
                                          [&](const Shown& s) { return s.title == title; }));
}

int ChooseGenericAnswer(const GenericPopup& popup, int key)
{
    if (key == ScriptedOperator::kEnter)
        return popup.enterButton;
    if (key == ScriptedOperator::kEscape)
        return popup.escapeButton;
    return key;
}

// ---------------------------------------------------------------- desktop

GenericDialog::GenericDialog(const GenericPopup& popup, QWidget* parent) : QDialog(parent), m_popup(popup)
{
    setWindowTitle(QString::fromStdString(popup.title));
    setModal(true);
    setMinimumWidth(380);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 12);
    layout->setSpacing(14);
    // A question, laid out as the desktop's own message boxes are.
    auto* body = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    body->addWidget(icon);
    body->addSpacing(12);
    auto* text = new QLabel(QString::fromStdString(popup.text), this);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(false);
    body->addWidget(text, 1);
    layout->addLayout(body);
    auto* row = new QHBoxLayout;
    row->addStretch();
    const std::string* labels[3] = {&popup.button1, &popup.button2, &popup.button3};
    for (int i = 0; i < 3; ++i) {
        if (labels[i]->empty())
            continue;
        auto* b = new QPushButton(QString::fromStdString(*labels[i]), this);
        // Enter and Escape are decided by the popup, not by the focused button.
        b->setAutoDefault(false);
        b->setDefault(false);
        const int number = i + 1;
        connect(b, &QPushButton::clicked, this, [this, number] { done(number); });
        row->addWidget(b);
        m_buttons[i] = b;
    }
    layout->addLayout(row);
}

QPushButton* GenericDialog::button(int number) const
{
    return number >= 1 && number <= 3 ? m_buttons[number - 1] : nullptr;
}

void GenericDialog::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (QPushButton* b = button(m_popup.focusButton))
        b->setFocus(Qt::OtherFocusReason);
}

void GenericDialog::keyPressEvent(QKeyEvent* e)
{
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        done(m_popup.enterButton);
        return;
    case Qt::Key_Escape:
        done(m_popup.escapeButton);
        return;
    default:
        QDialog::keyPressEvent(e);
    }
}

void GenericDialog::reject()
{
    // Closing the window by its frame answers as Escape does.
    done(m_popup.escapeButton);
}

QStringList FileNameFilters(const FileSelect& request)
{
    QStringList filters;
    auto add = [&filters](const QString& pattern) {
        const QString p = pattern.trimmed();
        if (p.isEmpty())
            return;
        const QString f = QStringLiteral("%1 (%1)").arg(p);
        if (!filters.contains(f))
            filters << f;
    };
    add(QString::fromStdString(request.defaultFileSpec));
    for (const QString& p : QString::fromStdString(request.fileTypeList).split(QLatin1Char(';'), Qt::SkipEmptyParts))
        add(p);
    filters << QStringLiteral("All files (*)");
    return filters;
}

void DismissModalDialogs()
{
    // Innermost first: a dialog may have opened one of its own (a file
    // dialog's question). Each is closed as Escape would close it; a window
    // that will not close ends the loop rather than spinning on it.
    while (QWidget* w = QApplication::activeModalWidget()) {
        if (auto* d = qobject_cast<QDialog*>(w))
            d->reject();
        else
            w->close();
        if (QApplication::activeModalWidget() == w)
            break;
    }
}

void ConfigureFileDialog(QFileDialog& dialog, const FileSelect& request)
{
    const bool load = request.buttonLabel == 3;
    dialog.setAcceptMode(load ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(load ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(FileNameFilters(request));
    // The program asks its own question about an existing file (overwrite,
    // append or leave it), so the toolkit must not ask one first.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    // Making a folder is offered only where the program allows it, in load
    // dialogs as in save dialogs.
    dialog.setOption(QFileDialog::ReadOnly, !request.allowMakeDirectory);
    const QString pattern = QString::fromStdString(request.defaultFileSpec).trimmed();
    if (!load && pattern.startsWith(QLatin1String("*.")))
        dialog.setDefaultSuffix(pattern.mid(2));
    // The button says what the program asked for: OK, Save, Select or Load.
    static const char* const kAcceptLabels[] = {"OK", "Save", "Select", "Load"};
    if (request.buttonLabel >= 0 && request.buttonLabel <= 3)
        dialog.setLabelText(QFileDialog::Accept, QString::fromLatin1(kAcceptLabels[request.buttonLabel]));
}

namespace {

class DesktopOperator final : public Operator {
public:
    void dismiss() override { DismissModalDialogs(); }

    void message(const std::string& title, const std::string& text) override { messageWithInfo(title, text, {}); }

    void messageWithInfo(const std::string& title, const std::string& text, const std::string& informative) override
    {
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        if (!informative.empty())
            box.setInformativeText(QString::fromStdString(informative));
        box.exec();
    }

    int generic(const GenericPopup& popup) override
    {
        GenericDialog dialog(popup);
        return dialog.exec();
    }

    int fileSelect(const FileSelect& request, std::string* path) override
    {
        // The system's own files live in the working directory; no dialog may move it.
        const QString cwd = QDir::currentPath();
        QFileDialog dialog(nullptr, QString::fromStdString(request.title),
                           request.defaultDirectory.empty() ? cwd : QString::fromStdString(request.defaultDirectory));
        ConfigureFileDialog(dialog, request);
        const int accepted = dialog.exec();
        QDir::setCurrent(cwd);
        if (accepted != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return 0;
        const QString chosen = dialog.selectedFiles().first();
        if (path)
            *path = QDir::toNativeSeparators(chosen).toStdString();
        return QFileInfo::exists(chosen) ? 1 : 2;
    }
};

} // namespace

std::unique_ptr<Operator> makeDesktopOperator()
{
    return std::make_unique<DesktopOperator>();
}

} // namespace rt
