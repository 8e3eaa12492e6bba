#include "protocol/step_codec.h"

#include <cmath>

namespace program {

long ScaledTemperature(float value, float tempScale)
{
    // Product in single precision, as the values are held; the rounding is
    // the run-time's halves-to-even. Values far outside any register saturate
    // instead of overflowing the conversion; NaN counts as the lowest.
    const double scaled = std::nearbyint(static_cast<double>(value * tempScale));
    if (!(scaled > -1.0e9))
        return -1000000000L;
    if (scaled > 1.0e9)
        return 1000000000L;
    return static_cast<long>(scaled);
}

bool TemperatureFits(float value, float tempScale)
{
    if (!std::isfinite(value))
        return false;
    const long v = ScaledTemperature(value, tempScale);
    return v >= -32768 && v <= 32767;
}

std::uint16_t EncodeTemperature(float value, float tempScale)
{
    return static_cast<std::uint16_t>(static_cast<unsigned long>(ScaledTemperature(value, tempScale)) & 0xFFFFu);
}

float DecodeTemperature(std::uint16_t raw, float tempScale)
{
    return static_cast<float>(static_cast<std::int16_t>(raw)) / tempScale;
}

static std::uint16_t Word(const std::uint8_t* answer, int k)
{
    return static_cast<std::uint16_t>((answer[4 + 2 * k] << 8) | answer[5 + 2 * k]);
}

StepRecord DecodeStep(const std::uint8_t* answer, float tempScale)
{
    StepRecord s;
    s.param1 = Word(answer, OFF_PARAM1);
    s.sv = DecodeTemperature(Word(answer, OFF_SV), tempScale);
    s.param2 = Word(answer, OFF_PARAM2);
    s.action = answer[5 + 2 * OFF_ACTION];
    s.loops = Word(answer, OFF_LOOPS);
    return s;
}

void EncodeStep(const StepRecord& step, float tempScale, std::uint16_t regs[kRegistersPerStep])
{
    regs[OFF_PARAM1] = step.param1;
    regs[OFF_SV] = EncodeTemperature(step.sv, tempScale);
    regs[OFF_PARAM2] = step.param2;
    regs[OFF_ACTION] = step.action;
    regs[OFF_LOOPS] = step.loops;
}

ActionKind ClassifyAction(int action)
{
    if (action == ACTION_NEXT)
        return ActionKind::Next;
    if (action >= ACTION_LOOP_FIRST && action <= ACTION_LOOP_LAST)
        return ActionKind::Loop;
    return ActionKind::End;
}

bool ActionKnown(int action)
{
    return action == ACTION_NEXT || action == ACTION_END ||
           (action >= ACTION_LOOP_FIRST && action <= ACTION_LOOP_LAST);
}

void ReachableSteps(const StepProgram& prog, bool reachable[kSteps])
{
    for (int k = 0; k < kSteps; ++k)
        reachable[k] = false;
    int pending[kSteps];
    int count = 0;
    auto reach = [&](int k) {
        if (k >= 0 && k < kSteps && !reachable[k]) {
            reachable[k] = true;
            pending[count++] = k;
        }
    };
    reach(0);
    while (count > 0) {
        const int k = pending[--count];
        const StepRecord& s = prog.steps[k];
        switch (ClassifyAction(s.action)) {
        case ActionKind::Next:
            reach(k + 1);
            break;
        case ActionKind::Loop:
            if (s.loops > 0)
                reach(s.action - ACTION_LOOP_FIRST);
            if (s.loops != kEndlessLoops)
                reach(k + 1);
            break;
        case ActionKind::End:
            break;
        }
    }
}

// One step of either rule: step k's action decides its loop count and row k + 1.
static void ApplyStep(RowStates& st, int k, int action)
{
    const ActionKind kind = ClassifyAction(action);
    const bool opensNext = k < kSteps && (kind == ActionKind::Loop || kind == ActionKind::Next);
    if (k < kSteps)
        st.rowDimmed[k + 1] = !opensNext;
    st.loopsDimmed[k] = kind != ActionKind::Loop;
}

RowStates StepRowRule(const std::uint16_t actions[kSteps])
{
    RowStates st;
    for (int k = 1; k <= kSteps; ++k)
        ApplyStep(st, k, actions[k - 1]);
    return st;
}

RowStates ChainRule(std::uint16_t actions[kSteps])
{
    RowStates st;
    for (int k = 1; k <= kSteps; ++k) {
        ApplyStep(st, k, actions[k - 1]);
        if (k < kSteps && ClassifyAction(actions[k - 1]) == ActionKind::End)
            actions[k] = ACTION_END;
    }
    return st;
}

int StepIndicatorIndex(int runMode, int segmentCode)
{
    if (runMode != kRunModeRunning || segmentCode < 0 || segmentCode > 240)
        return -1;
    const int index = segmentCode / 15;
    return index < kStepIndicators ? index : -1;
}

} // namespace program
