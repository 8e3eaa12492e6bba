// Data logs read in pieces, as the log viewer reads a file: whatever the
// bytes and wherever the pieces break them (inside a CR LF, a number, a line
// longer than the reader keeps), the result is the one of the whole text, and
// its counts add up.
#include "check.h"
#include "formats/log_reader.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {
bool Same(const monitor::LogReadResult& a, const monitor::LogReadResult& b)
{
    if (a.points.size() != b.points.size())
        return false;
    for (std::size_t i = 0; i < a.points.size(); ++i)
        if (a.points[i].t != b.points[i].t || a.points[i].sv != b.points[i].sv || a.points[i].pv != b.points[i].pv)
            return false;
    return a.lines == b.lines && a.headers == b.headers && a.skipped == b.skipped &&
           a.firstSkipped == b.firstSkipped && a.outOfOrder == b.outOfOrder && a.partialLastLine == b.partialLastLine;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    // A long run of one byte makes lines past the reader's line limit cheaply.
    const std::size_t pad = in.ConsumeIntegralInRange<std::size_t>(0, 3 * monitor::kMaxLogLineBytes);
    const char padByte = in.ConsumeBool() ? ' ' : 'x';
    std::vector<std::size_t> cuts;
    for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i)
        cuts.push_back(in.ConsumeIntegral<std::uint16_t>());
    std::string text = in.ConsumeRemainingBytesAsString();
    text.insert(text.size() / 2, std::string(pad, padByte));

    const monitor::LogReadResult whole = monitor::ReadDataLog(text);
    FUZZ_CHECK(whole.lines == whole.headers + whole.points.size() + whole.skipped);
    FUZZ_CHECK((whole.skipped == 0) == (whole.firstSkipped == 0));
    FUZZ_CHECK(std::is_sorted(whole.points.begin(), whole.points.end(),
                              [](const auto& a, const auto& b) { return a.t < b.t; }));
    FUZZ_CHECK(!whole.partialLastLine || (!text.empty() && text.back() != '\n'));

    std::sort(cuts.begin(), cuts.end());
    monitor::DataLogReader reader;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(cut, text.size());
        reader.feed(std::string_view(text).substr(at, cut - at));
        at = cut;
    }
    reader.feed(std::string_view(text).substr(at));
    FUZZ_CHECK(Same(reader.finish(), whole));
    return 0;
}
