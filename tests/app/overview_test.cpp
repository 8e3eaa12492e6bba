// Several controllers in the window: the kept list of controllers, and the
// overview driven as the operator drives it: scanning a line, adding,
// selecting (the panels then address the chosen controller, frame by frame),
// renaming and removing.
#include "app/controllers.h"
#include "app/overview.h"
#include "core/poller.h"
#include "protocol/modbus.h"
#include "protocol/registers.h"
#include "rt/files.h"
#include "rt/table.h"
#include "support/rig.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using controllers::ControllerList;

TEST(ControllerList, NamesAreCleanedAndCutWithoutSplittingACharacter)
{
    EXPECT_EQ(controllers::CleanName("  Stage\tA\n "), "Stage A");
    EXPECT_EQ(controllers::CleanName("\x01\x7F"), "");
    // 39 ASCII bytes, then a two-byte character across the limit: it goes whole.
    const std::string name = std::string(39, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(controllers::CleanName(name), std::string(39, 'x'));
    EXPECT_EQ(controllers::CleanName(std::string(38, 'x') + "\xC3\xA9"), std::string(38, 'x') + "\xC3\xA9");
}

TEST(ControllerList, AddRefusesWhatCannotBeAddressedAndRemoveKeepsTheSelection)
{
    ControllerList list;
    int at = -1;
    EXPECT_EQ(controllers::Add(list, 1, 1, "chiller", &at), "");
    EXPECT_EQ(at, 0);
    EXPECT_NE(controllers::Add(list, 1, 0, ""), "");
    EXPECT_NE(controllers::Add(list, 1, 248, ""), "");
    EXPECT_NE(controllers::Add(list, 0, 5, ""), "");
    EXPECT_NE(controllers::Add(list, 1, 1, "again"), "") << "the same port and address twice";
    EXPECT_EQ(controllers::Add(list, 2, 1, ""), "") << "the same address on another port is another controller";
    EXPECT_EQ(controllers::Add(list, 1, 5, "heater"), "");
    ASSERT_EQ(list.size(), 3);

    list.selected = 2;
    EXPECT_NE(controllers::Remove(list, 2), "") << "the panels act on the selected one";
    EXPECT_EQ(list.size(), 3);
    EXPECT_EQ(controllers::Remove(list, 0), "");
    EXPECT_EQ(list.selected, 1) << "the selection follows its controller";
    EXPECT_EQ(list.selectedController()->name, "heater");
    EXPECT_NE(controllers::Remove(list, 7), "");
    EXPECT_EQ(controllers::Remove(list, 0), "");
    EXPECT_EQ(controllers::Remove(list, 0), "") << "the last one may go, selected or not";
    EXPECT_EQ(list.selected, -1);
}

TEST(ControllerList, SettingsKeepTheListAndSkipWhatCannotBeUsed)
{
    QTemporaryDir dir;
    const std::string file = dir.filePath("tecontrol.conf").toStdString();
    ControllerList list;
    controllers::Add(list, 1, 1, "stage, left");
    controllers::Add(list, 1, 2, "");
    controllers::Add(list, 3, 9, "chiller");
    list.selected = 2;
    controllers::Save(list, file);

    ControllerList back;
    controllers::Load(&back, file);
    ASSERT_EQ(back.size(), 3);
    EXPECT_EQ(back.at(0)->name, "stage, left");
    EXPECT_EQ(back.at(2)->port, 3);
    EXPECT_EQ(back.at(2)->address, 9);
    EXPECT_EQ(back.selected, 2);

    // A file edited by hand: an address out of range, a duplicate, words.
    {
        QSettings s(QString::fromStdString(file), QSettings::IniFormat);
        s.beginGroup("controllers");
        s.beginWriteArray("controller", 4);
        s.setArrayIndex(0);
        s.setValue("port", 1);
        s.setValue("address", 300);
        s.setArrayIndex(1);
        s.setValue("port", 1);
        s.setValue("address", 4);
        s.setArrayIndex(2);
        s.setValue("port", 1);
        s.setValue("address", 4);
        s.setArrayIndex(3);
        s.setValue("port", "one");
        s.setValue("address", 5);
        s.endArray();
        s.setValue("selected", 0);
        s.endGroup();
    }
    controllers::Load(&back, file);
    ASSERT_EQ(back.size(), 1);
    EXPECT_EQ(back.at(0)->address, 4);
    EXPECT_EQ(back.selected, -1) << "the selected entry was one of those left out";
}

// A rig with three more simulated controllers (addresses 1, 2 and 3) on one
// line behind port 2, and the list kept in the rig's folder.
class Overview : public ::testing::Test {
protected:
    Overview()
    {
        line = sim::MakeControllers(rig.clock, {1, 2, 3});
        auto controllers = line;
        io::Clock* clock = &rig.clock;
        rig.rt.ports().bind(2, "COM2  three simulated controllers",
                            [controllers, clock] { return sim::MakeSimDevice(controllers, *clock); });
        rig.app.settingsFile = rig.path("tecontrol.conf");
    }
    int ov() const { return rig.app.panels.overview; }
    const std::vector<std::vector<std::uint8_t>>& lineWire() const { return line[0]->requests(); }
    std::string cell(int row, int column) const { return rt::GetTableCell(rig.rt, ov(), OVERVIEW_TABLE, row, column); }
    int rows() const { return rt::GetTableRowCount(rig.rt, ov(), OVERVIEW_TABLE); }
    // Scans port 2 from first to last as the operator does, ticking the scan to its end.
    void scan(int first, int last)
    {
        rig.rt.SetCtrlVal(ov(), OVERVIEW_PORT, 2);
        rig.rt.SetCtrlVal(ov(), OVERVIEW_SCAN_FROM, first);
        rig.rt.SetCtrlVal(ov(), OVERVIEW_SCAN_TO, last);
        rig.rt.Commit(ov(), OVERVIEW_SCAN);
        for (int i = 0; i < 300 && rig.app.overviewState.scanning; ++i)
            rig.rt.Tick(ov(), OVERVIEW_SCAN_TIMER);
        ASSERT_FALSE(rig.app.overviewState.scanning);
    }
    void choose(int row) { rt::SetTableCurrentRow(rig.rt, ov(), OVERVIEW_TABLE, row); }

    TestRig rig;
    std::vector<std::shared_ptr<sim::Controller>> line;
};

TEST_F(Overview, OneControllerLooksAsAlways)
{
    const std::string title = rt::GetPanelTitle(rig.rt, rig.parm());
    ASSERT_GE(rig.connect(), 0);
    EXPECT_EQ(rig.app.controllers.size(), 1);
    EXPECT_EQ(rig.app.controllers.selected, 0);
    EXPECT_EQ(rt::GetPanelTitle(rig.rt, rig.parm()), title);
    overview::ShowAtStart(rig.app);
    EXPECT_FALSE(rig.rt.IsPanelVisible(ov()));
    // Another address from the main panel: the one entry follows it.
    ASSERT_GE(rig.connect(2, 3), 0);
    ASSERT_EQ(rig.app.controllers.size(), 1);
    EXPECT_EQ(rig.app.controllers.at(0)->port, 2);
    EXPECT_EQ(rig.app.controllers.at(0)->address, 3);
    EXPECT_EQ(rt::GetPanelTitle(rig.rt, rig.parm()), title);
}

TEST_F(Overview, ScanFindsEveryControllerWithReadsOnlyAndSelectingAddressesTheChosenOne)
{
    ASSERT_GE(rig.connect(2, 1), 0);
    rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    ASSERT_TRUE(rig.rt.IsPanelVisible(ov()));
    line[0]->clearRequests();
    line[1]->faults().badCrc = true;  // address 2 answers garbled...
    line[1]->faults().remaining = 1;  // ...once: the scan asks once, the later connection is clean
    scan(1, 6);

    // Only identity reads went out, one per address, in order.
    ASSERT_EQ(lineWire().size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const comlink::ModbusFrame read = comlink::ReadFrame(static_cast<std::uint16_t>(i + 1), tecreg::kIdentity, 1);
        EXPECT_EQ(lineWire()[i], std::vector<std::uint8_t>(read.b, read.b + 8)) << "request " << i;
    }
    int done = 0, of = 0;
    rt::GetProgress(rig.rt, ov(), OVERVIEW_PROGRESS, &done, &of);
    EXPECT_EQ(done, 6);
    EXPECT_EQ(of, 6);
    // Address 1 was there already; 3 is new; 2 answered garbled and is named as such.
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(cell(1, 2), "3");
    EXPECT_EQ(cell(1, 3), "VEXAMAX");
    std::string status;
    rig.rt.GetCtrlVal(ov(), OVERVIEW_STATUS, &status);
    EXPECT_NE(status.find("found 2 controllers"), std::string::npos) << status;
    EXPECT_NE(status.find("Garbled answers at address 2"), std::string::npos) << status;

    // Added by hand, with a name; the titles now name the selected controller.
    rig.rt.SetCtrlVal(ov(), OVERVIEW_ADDRESS, 2);
    rig.rt.SetCtrlVal(ov(), OVERVIEW_NAME, "cold plate");
    rig.rt.Commit(ov(), OVERVIEW_ADD);
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(cell(2, 0), "cold plate");
    EXPECT_NE(rt::GetPanelTitle(rig.rt, rig.parm()).find("address 1"), std::string::npos);

    // Enter on the chosen row selects it: the link is made to address 2.
    choose(2);
    auto* table = qobject_cast<QTableWidget*>(rig.rt.controlWidget(ov(), OVERVIEW_TABLE));
    ASSERT_NE(table, nullptr);
    QTest::keyClick(table, Qt::Key_Return);
    EXPECT_EQ(rig.app.controllers.selected, 2);
    EXPECT_EQ(rig.app.controller.address, 2);
    EXPECT_EQ(rig.intValue(rig.parm(), PARM_CTRL_ID), 2);
    EXPECT_GE(rig.app.bus.openStatus, 0);
    for (int panel : {rig.parm(), rig.app.panels.chart, rig.app.panels.script, rig.app.panels.pidhelp,
                      rig.app.panels.debug})
        EXPECT_NE(rt::GetPanelTitle(rig.rt, panel).find("cold plate [2]"), std::string::npos) << panel;
    EXPECT_EQ(rig.intValue(rig.app.panels.debug, DEBUG_ID), 2);
    ASSERT_FALSE(rig.app.reconnect.history.empty());
    EXPECT_NE(rig.app.reconnect.history.back().find("cold plate [2]: Connected"), std::string::npos)
        << rig.app.reconnect.history.back();

    // The panels address it: the set value goes to address 2 alone, as the frame the link builds.
    line[0]->clearRequests();
    rig.rt.SetCtrlVal(rig.parm(), PARM_SV, 12.5);
    rig.rt.Commit(rig.parm(), PARM_SV_SEND);
    ASSERT_FALSE(lineWire().empty());
    for (const auto& request : lineWire())
        EXPECT_EQ(request[0], 2);
    const auto raw = static_cast<std::uint16_t>(std::lround(12.5 * rig.app.params.tempScale));
    const comlink::ModbusFrame write = comlink::WriteFrame(2, tecreg::kSetValue, raw);
    EXPECT_EQ(std::count(lineWire().begin(), lineWire().end(), std::vector<std::uint8_t>(write.b, write.b + 8)), 1);
    EXPECT_EQ(line[1]->reg(tecreg::kSetValue), raw);
    EXPECT_NE(line[0]->reg(tecreg::kSetValue), raw);

    // DftCom.prm names the selected one, and the list comes back as it was.
    std::string prm;
    ASSERT_TRUE(rt::ReadWholeFile("DftCom.prm", &prm));
    controllers::ControllerList kept;
    controllers::Load(&kept, rig.app.settingsFile);
    ASSERT_EQ(kept.size(), 3);
    EXPECT_EQ(kept.selected, 2);
    EXPECT_EQ(kept.at(2)->name, "cold plate");
}

TEST_F(Overview, RenameRemoveAndACancelledScan)
{
    ASSERT_GE(rig.connect(2, 1), 0);
    rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    scan(1, 3);
    ASSERT_EQ(rows(), 3);

    choose(1);
    rig.rt.SetCtrlVal(ov(), OVERVIEW_NAME, "heater\x01");
    rig.rt.Commit(ov(), OVERVIEW_RENAME);
    EXPECT_EQ(cell(1, 0), "heater");

    // The selected controller (row 0) stays while others are configured.
    choose(0);
    rig.op.clear();
    rig.rt.Commit(ov(), OVERVIEW_REMOVE);
    EXPECT_EQ(rig.op.count("Remove Controller"), 1);
    EXPECT_EQ(rows(), 3);
    choose(1);
    rig.rt.Commit(ov(), OVERVIEW_REMOVE);
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(cell(1, 2), "3");

    // A scan cancelled half-way sends nothing more and keeps what it found.
    line[0]->clearRequests();
    rig.rt.SetCtrlVal(ov(), OVERVIEW_SCAN_FROM, 1);
    rig.rt.SetCtrlVal(ov(), OVERVIEW_SCAN_TO, 247);
    rig.rt.Commit(ov(), OVERVIEW_SCAN);
    for (int i = 0; i < 3; ++i)
        rig.rt.Tick(ov(), OVERVIEW_SCAN_TIMER);
    rig.rt.Commit(ov(), OVERVIEW_SCAN_CANCEL);
    EXPECT_FALSE(rig.app.overviewState.scanning);
    EXPECT_TRUE(rig.dimmed(ov(), OVERVIEW_SCAN_CANCEL));
    EXPECT_FALSE(rig.dimmed(ov(), OVERVIEW_SCAN));
    const std::size_t sent = lineWire().size();
    EXPECT_EQ(sent, 3u);
    rig.rt.Tick(ov(), OVERVIEW_SCAN_TIMER);
    EXPECT_EQ(lineWire().size(), sent);
    EXPECT_EQ(rows(), 3) << "address 2, removed, is found again";
}

TEST_F(Overview, ScanOfAPortWithNothingConnectedOpensItAndSelectsTheFirstFound)
{
    // Start-up found no controller at the address the panel shows.
    rig.connect(2, 9);
    ASSERT_LT(rig.app.bus.openStatus, 0);
    rig.op.clear();
    rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    scan(1, 4);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(rig.app.controllers.selected, rig.app.controllers.find(2, 1));
    EXPECT_GE(rig.app.bus.openStatus, 0);
    EXPECT_EQ(rig.app.controller.address, 1);
    EXPECT_TRUE(rig.op.shown().empty()) << rig.op.shown()[0].title;
}

TEST_F(Overview, RowsShowSamplesAgeAndMisses)
{
    ASSERT_GE(rig.connect(2, 1), 0);
    rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    scan(1, 2);
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    overview::Refresh(rig.app);
    EXPECT_EQ(cell(0, 7).rfind("online, 0 s ago", 0), 0u) << cell(0, 7);
    EXPECT_NE(cell(0, 4), "\xE2\x80\x94");
    EXPECT_EQ(rt::GetTableRowMark(rig.rt, ov(), OVERVIEW_TABLE, 0), rt::RowMark::Selected);
    EXPECT_EQ(cell(1, 7).rfind("online, 0 s ago", 0), 0u) << "the chart's round reads it too: " << cell(1, 7);

    // The selected controller falls silent: suspect, then offline after three misses.
    line[0]->faults().silent = true;
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    overview::Refresh(rig.app);
    EXPECT_EQ(rt::GetTableRowMark(rig.rt, ov(), OVERVIEW_TABLE, 0), rt::RowMark::Stale);
    EXPECT_NE(cell(0, 7).find("missed 1"), std::string::npos) << cell(0, 7);
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    rig.rt.Tick(rig.app.panels.chart, CHART_TIMER);
    overview::Refresh(rig.app);
    EXPECT_EQ(cell(0, 7).rfind("offline", 0), 0u) << cell(0, 7);
    EXPECT_EQ(rt::GetTableRowMark(rig.rt, ov(), OVERVIEW_TABLE, 0), rt::RowMark::Offline);
}

TEST_F(Overview, OneControllerSilencedGoesOfflineWhileTheOthersGoOn)
{
    ASSERT_GE(rig.connect(2, 1), 0);
    rig.rt.Commit(rig.parm(), PARM_OPEN_OVERVIEW);
    scan(1, 2);
    rig.rt.SetCtrlVal(ov(), OVERVIEW_ADDRESS, 3);
    rig.rt.Commit(ov(), OVERVIEW_ADD);
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(cell(2, 3), "\xE2\x80\x94") << "added by hand: its model is not known yet";
    // Address 3 holds whole degrees: 40 means 40.0, where the others' 250 means 25.0.
    line[2]->setReg(tecreg::kDecimalPnt, 30);
    line[2]->setReg(tecreg::kSetValue, 40);
    // Nothing else polls: the overview's own tick asks for a round of all three.
    auto refresh = [&] { rig.rt.Tick(ov(), OVERVIEW_TIMER); };
    refresh();
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(cell(row, 7).rfind("online", 0), 0u) << row << ": " << cell(row, 7);
    // The others' readings are their own, in their own scale.
    EXPECT_EQ(cell(2, 3), "VEXAMAX") << "read when it first answered";
    EXPECT_EQ(cell(2, 5), "40.0");
    EXPECT_EQ(cell(1, 5), "25.0");

    line[1]->faults().silent = true;
    for (int i = 0; i < 3; ++i)
        refresh();
    EXPECT_EQ(cell(1, 7).rfind("offline", 0), 0u) << cell(1, 7);
    EXPECT_EQ(rt::GetTableRowMark(rig.rt, ov(), OVERVIEW_TABLE, 1), rt::RowMark::Offline);
    EXPECT_EQ(cell(0, 7).rfind("online", 0), 0u) << cell(0, 7);
    EXPECT_EQ(cell(2, 7).rfind("online", 0), 0u) << cell(2, 7);
    EXPECT_EQ(rig.app.controllers.at(1)->counters.missedInRow, 3);

    // Offline, it is only probed, once per back-off: over ten rounds in about
    // five seconds it is asked far fewer times than the others.
    line[0]->clearRequests();
    for (int i = 0; i < 10; ++i)
        refresh();
    auto askedOf = [&](int address) {
        return std::count_if(lineWire().begin(), lineWire().end(),
                             [address](const std::vector<std::uint8_t>& r) { return r[0] == address; });
    };
    EXPECT_EQ(askedOf(1), 20);
    EXPECT_EQ(askedOf(3), 20);
    EXPECT_GE(askedOf(2), 1);
    EXPECT_LE(askedOf(2), 4);
    for (const auto& r : lineWire())
        EXPECT_EQ(r[1], comlink::FN_READ) << "the rounds only read";

    // Back: the next probe takes it up again.
    line[1]->faults().silent = false;
    rig.clock.sleepUntil(rig.clock.now() + core::Poller::kMaxBackoff);
    refresh();
    EXPECT_EQ(cell(1, 7).rfind("online", 0), 0u) << cell(1, 7);
    EXPECT_EQ(cell(1, 5), "25.0");
}

} // namespace
