// DftCom.prm: only a port of 1 to 65535, a baud rate of 1 to 4000000 and an
// address of 0 to 255 are taken, and what is taken saves as the same text.
#include "check.h"
#include "formats/com_settings.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::uint16_t port = 0xBEEF, id = 0xBEEF;
    std::uint32_t baud = 0xBEEF;
    if (!comlink::ParseComSettings(text, &port, &baud, &id)) {
        FUZZ_CHECK(port == 0xBEEF && baud == 0xBEEF && id == 0xBEEF);
        return 0;
    }
    FUZZ_CHECK(port >= 1);
    FUZZ_CHECK(baud >= 1 && baud <= 4000000);
    FUZZ_CHECK(id <= 255);
    const std::string saved = comlink::FormatComSettings(port, baud, id);
    std::uint16_t p2 = 0, i2 = 0;
    std::uint32_t b2 = 0;
    FUZZ_CHECK(comlink::ParseComSettings(saved, &p2, &b2, &i2));
    FUZZ_CHECK(p2 == port && b2 == baud && i2 == id);
    return 0;
}
