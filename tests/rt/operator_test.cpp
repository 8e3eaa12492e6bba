// Popups: the scripted operator, the generic dialog's keys, file filters.
#include "rt/operators.h"
#include "rt/runtime.h"

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

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
    rt::VirtualClock clock;
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
