// Step-program files: any text is refused with a field and a reason, or gives
// a program whose saved file loads back to the same program, and whose
// registers can be built at either decimal point without overflow.
#include "check.h"
#include "formats/step_file_format.h"
#include "protocol/step_codec.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    StepProgram prog;
    int bad = -1;
    std::string why;
    if (!program::ParseStepFile(text, &prog, &bad, &why)) {
        FUZZ_CHECK(bad >= 1 && bad <= program::kProgramRegisters);
        FUZZ_CHECK(!program::StepFieldDescription(bad).empty());
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    // Only actions the step program knows, and a band from 0.
    for (const StepRecord& s : prog.steps)
        FUZZ_CHECK(program::ActionKnown(s.action));
    FUZZ_CHECK(prog.tolBand >= 0.0f);
    for (float scale : {1.0f, 10.0f}) {
        for (const StepRecord& s : prog.steps) {
            std::uint16_t regs[program::kRegistersPerStep];
            program::EncodeStep(s, scale, regs);
            if (program::TemperatureFits(s.sv, scale)) {
                const float back = program::DecodeTemperature(regs[program::OFF_SV], scale);
                FUZZ_CHECK(back - s.sv <= 0.5f / scale + 1e-3f && s.sv - back <= 0.5f / scale + 1e-3f);
            }
        }
        program::EncodeTemperature(prog.tolBand, scale);
    }
    const std::string saved = program::FormatStepFile(prog);
    StepProgram again;
    FUZZ_CHECK(program::ParseStepFile(saved, &again, nullptr, nullptr));
    FUZZ_CHECK(program::FormatStepFile(again) == saved);
    return 0;
}
