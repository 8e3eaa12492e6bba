// The step program's registers, the rules that enable and dim the step rows,
// and the step indicators. Pure: bytes and numbers in, bytes and numbers out.
#pragma once

#include "protocol/registers.h"
#include "protocol/step_program.h"

#include <cstdint>

namespace program {

constexpr int kSteps = 8;
constexpr int kStepIndicators = 16;
// The band register, then one block of five registers per step.
constexpr std::uint16_t kBandRegister = tecreg::kTolBand;
constexpr std::uint16_t kFirstStepRegister = tecreg::kFirstStep;
constexpr int kRegistersPerStep = 5;
constexpr int kProgramRegisters = 1 + kSteps * kRegistersPerStep;  // 41
// Control function register: 5 starts the program, 0 stops it.
constexpr std::uint16_t kControlFunctionRegister = tecreg::kCtrlFunc;
constexpr std::uint16_t kRunCommand = 5;
constexpr std::uint16_t kStopCommand = 0;
// Status word: high byte runMode, low byte segmentCode.
constexpr std::uint16_t kStatusRegister = tecreg::kStatus;
constexpr int kRunModeRunning = 5;
constexpr int kRunModeIdle = 0;

// Offsets inside a step's block (the register order differs from the file's).
enum StepOffset : int { OFF_PARAM1 = 0, OFF_SV = 1, OFF_PARAM2 = 2, OFF_ACTION = 3, OFF_LOOPS = 4 };

// First register of step k (1..8).
constexpr std::uint16_t StepBlockRegister(int k)
{
    return static_cast<std::uint16_t>(kFirstStepRegister + kRegistersPerStep * (k - 1));
}

// A temperature as its register value: the display value times tempScale,
// rounded to the nearest integer (halves to even) and cut to 16 bits.
std::uint16_t EncodeTemperature(float value, float tempScale);
// The scaled integer before the cut, to check that it fits a signed register.
long ScaledTemperature(float value, float tempScale);
bool TemperatureFits(float value, float tempScale);
// A register value read as a signed temperature and divided by tempScale.
float DecodeTemperature(std::uint16_t raw, float tempScale);

// The step from the five register values of a good 16-byte read answer.
// The action keeps only its low byte: the controller may hold flags above it.
StepRecord DecodeStep(const std::uint8_t* answer, float tempScale);
// The five register values of a step in register order; the action is
// written whole.
void EncodeStep(const StepRecord& step, float tempScale, std::uint16_t regs[kRegistersPerStep]);

enum class ActionKind { Next, Loop, End };
// Any code other than 54 and 44..51 ends the program.
ActionKind ClassifyAction(int action);
// The codes the step program knows, as written (all 16 bits): 54 next,
// 44..51 loop, 52 end.
bool ActionKnown(int action);
// The loop count that repeats a loop for ever.
constexpr int kEndlessLoops = 9999;
// The steps a run can reach from step 1 (reachable[0] is step 1): a next step
// goes on to the following one, a loop code 44 + j jumps to step j + 1 while
// its count (above 0) lasts and then goes on (never, at 9999), anything else
// ends the run.
void ReachableSteps(const StepProgram& prog, bool reachable[kSteps]);

// Which controls the rules dim. rowDimmed[k] covers set value, both
// parameters and action of step k (k = 2..8; step 1 is never dimmed);
// loopsDimmed[k] the loop count of step k (k = 1..8). Index 0 is unused.
struct RowStates {
    bool rowDimmed[kSteps + 1] = {};
    bool loopsDimmed[kSteps + 1] = {};
};
// The step-row rule: each step's own action decides its loop count and the
// next row; nothing is propagated.
RowStates StepRowRule(const std::uint16_t actions[kSteps]);
// The chain rule used while editing: behind an ending step every later
// action becomes 52, so all later rows end up dimmed. Changes actions[] in
// place and returns the resulting states.
RowStates ChainRule(std::uint16_t actions[kSteps]);

// The step indicator for a status word, or -1 when none is to be lit
// (not running, or a segment past the sixteenth indicator).
int StepIndicatorIndex(int runMode, int segmentCode);

} // namespace program
