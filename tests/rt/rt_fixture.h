// A run-time with the test panel loaded, recording every callback it runs.
#pragma once

#include "rt/runtime.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

struct CallRecord {
    int panel;
    int control;
    int event;
};

class RtFixture : public ::testing::Test {
protected:
    io::VirtualClock clock;
    rt::ScriptedOperator op;
    rt::Runtime rt{clock, op};
    std::vector<CallRecord> calls;
    std::function<void(const CallRecord&)> onCall;  // runs inside each callback
    int main = 0;

    void SetUp() override
    {
        // The first folder does not hold the panels: the search must go on.
        rt.setPanelSearchPath({"/nonexistent-panels", RT_TEST_DIR});
        rt.setCallbackResolver([this](const std::string& name) -> rt::CtrlCallback {
            if (name != "OnCommit" && name != "OnRightClick" && name != "OnTick")
                return {};
            return [this](int panel, int control, int event, void*, int, int) {
                calls.push_back({panel, control, event});
                if (onCall)
                    onCall(calls.back());
                return 0;
            };
        });
        main = rt.LoadPanel(0, "Test Main.uir", 1);
        ASSERT_GT(main, 0);
    }

    int count(int control, int event) const
    {
        int n = 0;
        for (const CallRecord& c : calls)
            n += (c.control == control && c.event == event) ? 1 : 0;
        return n;
    }

    double value(int control) const
    {
        double v = -12345;
        EXPECT_EQ(rt.GetCtrlVal(main, control, &v), 0);
        return v;
    }

    std::string text(int control) const
    {
        std::string s;
        EXPECT_EQ(rt.GetCtrlVal(main, control, &s), 0);
        return s;
    }

    int attr(int control, int attribute) const
    {
        int v = -1;
        EXPECT_EQ(rt.GetCtrlAttribute(main, control, attribute, &v), 0);
        return v;
    }
};
