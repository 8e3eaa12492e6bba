// Popups: the scripted operator, the generic dialog's keys, file filters.
#include "rt/end_request.h"
#include "rt/operators.h"
#include "rt/runtime.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace {
rt::GenericPopup threeButtons()
{
    rt::GenericPopup p;
    p.title = "Exit";
    p.text = "Stop the step program?\n\tYes stops it.";
    p.button1 = "Yes";
    p.button2 = "No";
    p.button3 = "Cancel";
    p.focusButton = 2;
    p.enterButton = 1;
    p.escapeButton = 3;
    return p;
}
} // namespace

TEST(ScriptedOperator, AnswersFromItsScriptInOrder)
{
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt(clock, op);
    const rt::GenericPopup p = threeButtons();

    rt.MessagePopup("Error", "Line one\n\tindented");
    op.queueEnter();
    op.queueButton(2);
    op.queueEscape();
    EXPECT_EQ(rt.GenericMessagePopup(p), 1);
    EXPECT_EQ(rt.GenericMessagePopup(p), 2);
    EXPECT_EQ(rt.GenericMessagePopup(p), 3);
    EXPECT_EQ(rt.GenericMessagePopup(p), 3);  // nothing queued: Escape
    EXPECT_EQ(op.lastGeneric().text, p.text);

    rt::FileSelect req;
    req.title = "Save parameters";
    req.defaultFileSpec = "*.prm";
    op.queueFile(2, "/tmp/new file.prm");
    std::string path = "unchanged";
    EXPECT_EQ(rt.FileSelectPopup(req, &path), 2);
    EXPECT_EQ(path, "/tmp/new file.prm");
    path = "unchanged";
    EXPECT_EQ(rt.FileSelectPopup(req, &path), 0);  // cancelled
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(op.lastFileRequest().defaultFileSpec, "*.prm");

    ASSERT_EQ(op.shown().size(), 7u);
    EXPECT_EQ(op.shown()[0].kind, "message");
    EXPECT_EQ(op.shown()[0].text, "Line one\n\tindented");
    EXPECT_EQ(op.shown()[1].kind, "generic");
    EXPECT_EQ(op.shown()[5].kind, "file");
    EXPECT_EQ(op.count("Exit"), 4);
    EXPECT_EQ(op.titles().front(), "Error");
    op.clear();
    EXPECT_TRUE(op.shown().empty());
}

TEST(GenericDialog, EnterAndEscapeChooseTheirButtonsWhateverHasFocus)
{
    const rt::GenericPopup p = threeButtons();
    {
        rt::GenericDialog d(p);
        d.show();
        EXPECT_EQ(d.focusWidget(), d.button(2));
        QTest::keyClick(d.button(2), Qt::Key_Return);
        EXPECT_EQ(d.result(), 1);
        EXPECT_FALSE(d.isVisible());
    }
    {
        rt::GenericDialog d(p);
        d.show();
        QTest::keyClick(d.button(2), Qt::Key_Escape);
        EXPECT_EQ(d.result(), 3);
    }
    {
        rt::GenericDialog d(p);
        d.show();
        d.button(2)->click();
        EXPECT_EQ(d.result(), 2);
    }
    {
        rt::GenericDialog d(p);
        d.show();
        d.close();  // the window frame answers as Escape
        EXPECT_EQ(d.result(), 3);
    }
    // A popup with two buttons has no third.
    rt::GenericPopup two = p;
    two.button3.clear();
    rt::GenericDialog d(two);
    EXPECT_NE(d.button(2), nullptr);
    EXPECT_EQ(d.button(3), nullptr);
}

TEST(FileDialogFilters, SpecThenTypeListThenAll)
{
    rt::FileSelect req;
    req.defaultFileSpec = "*.prm";
    req.fileTypeList = "*.txt;*.prm;*.dat";
    const QStringList f = rt::FileNameFilters(req);
    const QStringList expected = {"*.prm (*.prm)", "*.txt (*.txt)", "*.dat (*.dat)", "All files (*)"};
    EXPECT_EQ(f, expected);
}

TEST(FileDialogFilters, BlanksAroundPatternsAndRepeatsAreDropped)
{
    rt::FileSelect req;
    req.defaultFileSpec = "*.dat";
    req.fileTypeList = "*.dat; *.txt";
    EXPECT_EQ(rt::FileNameFilters(req), (QStringList{"*.dat (*.dat)", "*.txt (*.txt)", "All files (*)"}));
    req.defaultFileSpec = "*.srp";
    req.fileTypeList = "*.txt";
    EXPECT_EQ(rt::FileNameFilters(req), (QStringList{"*.srp (*.srp)", "*.txt (*.txt)", "All files (*)"}));
}

namespace {
// Acts on the file dialog once it is up, as the operator would.
void whenFileDialogShows(std::function<void(QFileDialog*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* d = qobject_cast<QFileDialog*>(w);
            if (d && d->isVisible()) {
                poll->stop();
                poll->deleteLater();
                act(d);
                return;
            }
        }
    });
    poll->start(10);
}
} // namespace

// The desk's file dialog: what it offers, and the three results.
TEST(DesktopOperator, FileDialogResultsAndWhatItOffers)
{
    QTemporaryDir dir;
    const QString existing = dir.filePath(QString::fromUtf8("old set Ä.prm"));
    {
        QFile f(existing);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString cwd = QDir::currentPath();
    auto desk = rt::makeDesktopOperator();

    rt::FileSelect save;
    save.defaultDirectory = dir.path().toStdString();
    save.defaultFileSpec = "*.prm";
    save.fileTypeList = "*.txt;*.prm;*.dat";
    save.title = "Save Parameters";
    save.buttonLabel = 0;
    QStringList filters;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QString accept;
    whenFileDialogShows([&](QFileDialog* d) {
        filters = d->nameFilters();
        mode = d->acceptMode();
        accept = d->labelText(QFileDialog::Accept);
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Save Parameters"));
        auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QStringLiteral("new set"));
        static_cast<QDialog*>(d)->accept();
        if (d->isVisible())
            d->reject();
    });
    std::string path = "unchanged";
    EXPECT_EQ(desk->fileSelect(save, &path), 2);  // a new file
    EXPECT_EQ(filters, (QStringList{"*.prm (*.prm)", "*.txt (*.txt)", "*.dat (*.dat)", "All files (*)"}));
    EXPECT_EQ(mode, QFileDialog::AcceptSave);
    EXPECT_EQ(accept, QStringLiteral("OK"));
    // The pattern's extension is added to a bare name, in the folder shown.
    EXPECT_EQ(QDir::fromNativeSeparators(QString::fromStdString(path)), dir.filePath("new set.prm"));

    rt::FileSelect load = save;
    load.buttonLabel = 3;
    load.title = "Load Parameters";
    whenFileDialogShows([&](QFileDialog* d) {
        mode = d->acceptMode();
        accept = d->labelText(QFileDialog::Accept);
        // Typed into the name field, as the operator would.
        auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QFileInfo(existing).fileName());
        static_cast<QDialog*>(d)->accept();
        if (d->isVisible())
            d->reject();  // never leave the test waiting
    });
    EXPECT_EQ(desk->fileSelect(load, &path), 1);  // an existing file
    EXPECT_EQ(mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(accept, QStringLiteral("Load"));
    EXPECT_EQ(QDir::fromNativeSeparators(QString::fromStdString(path)), existing);

    rt::FileSelect log = save;
    log.defaultFileSpec = "*.dat";
    log.fileTypeList = "*.dat; *.txt";
    log.buttonLabel = 1;
    whenFileDialogShows([&](QFileDialog* d) {
        filters = d->nameFilters();
        d->reject();
    });
    path = "unchanged";
    EXPECT_EQ(desk->fileSelect(log, &path), 0);  // cancelled
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(filters, (QStringList{"*.dat (*.dat)", "*.txt (*.txt)", "All files (*)"}));
    // No dialog moves the working directory, where the program's own files live.
    EXPECT_EQ(QDir::currentPath(), cwd);
}

// The desk's question popup: focus on its focus button, Enter and Escape
// (main keyboard and keypad) answer their buttons wherever the focus is.
TEST(DesktopOperator, GenericPopupKeysWhateverHasFocus)
{
    auto desk = rt::makeDesktopOperator();
    const rt::GenericPopup p = threeButtons();
    struct Press {
        Qt::Key key;
        int focusOn;  // 0: leave the focus where the popup put it
        int answer;
    } presses[] = {{Qt::Key_Return, 0, 1}, {Qt::Key_Enter, 3, 1}, {Qt::Key_Escape, 1, 3}, {Qt::Key_Escape, 0, 3}};
    for (const Press& press : presses) {
        QString focused;
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, poll, [&, poll] {
            rt::GenericDialog* d = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* g = dynamic_cast<rt::GenericDialog*>(w); g && g->isVisible())
                    d = g;
            if (!d)
                return;
            EXPECT_TRUE(d->isModal());
            poll->stop();
            poll->deleteLater();
            auto* f = qobject_cast<QPushButton*>(d->focusWidget());
            focused = f ? f->text() : QString();
            if (press.focusOn)
                d->button(press.focusOn)->setFocus();
            QWidget* target = d->focusWidget() ? d->focusWidget() : d;
            QTest::keyClick(target, press.key, press.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            if (d->isVisible())
                d->done(-1);  // never leave the test waiting
        });
        poll->start(10);
        EXPECT_EQ(desk->generic(p), press.answer) << press.key << " focus " << press.focusOn;
        EXPECT_EQ(focused, QStringLiteral("No"));  // focusButton 2
    }
}

// The program asks its own question about an existing file, so the desk's
// dialog asks none; making a folder follows the request, loading or saving.
TEST(DesktopOperator, FileDialogAsksNoQuestionOfItsOwn)
{
    for (const int button : {0, 1, 3}) {
        for (const bool makeDir : {false, true}) {
            rt::FileSelect req;
            req.defaultFileSpec = "*.dat";
            req.buttonLabel = button;
            req.allowMakeDirectory = makeDir;
            QFileDialog d;
            rt::ConfigureFileDialog(d, req);
            EXPECT_TRUE(d.testOption(QFileDialog::DontConfirmOverwrite)) << button;
            EXPECT_EQ(d.testOption(QFileDialog::ReadOnly), !makeDir) << button;
        }
    }
}

// Ending from outside (a signal) closes the popup or dialog the program is
// waiting on, and no later popup waits for anyone.
TEST(DesktopOperator, EndingFromOutsideDismissesWhateverIsOpen)
{
    rt::FileSelect req;
    req.defaultFileSpec = "*.prm";
    req.buttonLabel = 1;
    const std::function<void(rt::Runtime&)> popups[] = {
        [](rt::Runtime& rt) { rt.MessagePopup("COMMUNICATION ERROR!", "No controller answered."); },
        [](rt::Runtime& rt) { EXPECT_EQ(rt.GenericMessagePopup(threeButtons()), 3); },
        [&req](rt::Runtime& rt) {
            std::string path = "unchanged";
            EXPECT_EQ(rt.FileSelectPopup(req, &path), 0);
            EXPECT_EQ(path, "unchanged");
        },
    };
    for (const auto& popup : popups) {
        io::RealClock clock;
        auto desk = rt::makeDesktopOperator();
        rt::Runtime rt(clock, *desk);
        QTimer::singleShot(50, [&rt] { rt.EndFromOutside(0); });
        // Should the dismissal fail, the test still ends, and says so.
        bool stuck = false;
        QTimer rescue;
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [&stuck] {
            stuck = QApplication::activeModalWidget() != nullptr;
            rt::DismissModalDialogs();
            while (QWidget* w = QApplication::activeModalWidget())
                w->hide();
        });
        rescue.start(10000);
        popup(rt);
        rescue.stop();
        EXPECT_FALSE(stuck);
        EXPECT_TRUE(rt.quitRequested());
        EXPECT_TRUE(rt.ending());
        // Later popups return at once, unanswered.
        for (const auto& later : popups)
            later(rt);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

// A signal's request to end cuts the run-time's waits short.
TEST(EndRequest, CutsWaitsShort)
{
    io::RealClock clock;
    rt::RequestEnd();
    const double start = clock.now();
    clock.sleep(30.0);
    const double waited = clock.now() - start;
    rt::ClearEndRequest();
    EXPECT_LT(waited, 5.0);
    EXPECT_FALSE(rt::EndRequested());
}
