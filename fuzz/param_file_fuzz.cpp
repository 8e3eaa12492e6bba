// Parameter files: any text is either refused with a field and a reason, or
// gives a set that saves as a file which loads back to the same set.
#include "check.h"
#include "formats/param_format.h"
#include "protocol/encoding.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ParameterSet current;
    ParameterSet loaded;
    int bad = -1;
    std::string why;
    if (!params::ParseParameterFile(text, current, &loaded, &bad, &why)) {
        FUZZ_CHECK(bad >= 1 && bad <= params::kFileFields);
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    FUZZ_CHECK(loaded.alarmWatch == 0 || loaded.alarmWatch == 1);
    // What loads is within what the controller takes once it is applied.
    FUZZ_CHECK(params::CheckParameterLimits(loaded, nullptr, nullptr));
    // What loads can be sent: every temperature fits its register at the
    // decimal point the file records.
    const float scale = params::TempScaleFor(loaded.decimalPnt);
    for (float t : {loaded.setValue, loaded.alarmHigh, loaded.alarmLow, loaded.rangeLow, loaded.rangeHigh})
        FUZZ_CHECK(params::FitsRegister(params::EncClass::T, t, scale));
    // What the controller holds once the file is in (each real as its
    // register brings it back), saved, loads again to the same file. The
    // file's own values need not: "%7.2f" may round 150.049 up to 150.05,
    // a register number above the one sent.
    ParameterSet held = loaded;
    auto hold = [scale](params::EncClass cls, float& v) {
        const std::uint16_t raw = params::Encode(cls, v, scale);
        v = static_cast<float>(params::Decode(cls, static_cast<std::uint8_t>(raw >> 8),
                                              static_cast<std::uint8_t>(raw & 0xFF), scale));
    };
    using params::EncClass;
    for (float* t : {&held.setValue, &held.alarmHigh, &held.alarmLow, &held.pidBound[0], &held.pidBound[1],
                     &held.pidBound[2], &held.reg30, &held.reg31, &held.rangeLow, &held.rangeHigh})
        hold(EncClass::T, *t);
    hold(EncClass::D, held.outputLevel);
    hold(EncClass::D, held.swFilter);
    for (int i = 0; i < 4; ++i) {
        hold(EncClass::D, held.pidP[i]);
        hold(EncClass::D, held.pidT4[i]);
        hold(EncClass::D, held.pidT5[i]);
    }
    FUZZ_CHECK(params::CheckParameterLimits(held, nullptr, nullptr));
    const std::string saved = params::FormatParameterFile(held);
    ParameterSet again;
    FUZZ_CHECK(params::ParseParameterFile(saved, current, &again, nullptr, nullptr));
    FUZZ_CHECK(params::FormatParameterFile(again) == saved);
    return 0;
}
