// Parameter files: any text is either refused with a field and a reason, or
// gives a set that saves as a file which loads back to the same set.
#include "check.h"
#include "params/encoding.h"
#include "params/param_file.h"

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
    const std::string saved = params::FormatParameterFile(loaded);
    ParameterSet again;
    FUZZ_CHECK(params::ParseParameterFile(saved, current, &again, nullptr, nullptr));
    FUZZ_CHECK(params::FormatParameterFile(again) == saved);
    return 0;
}
