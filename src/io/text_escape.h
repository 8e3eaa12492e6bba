// Text from files and devices made safe to show: on a terminal or in a
// message box nothing but printable text arrives. Pure, no Qt.
#pragma once

#include <string>
#include <string_view>

namespace io {

// `text` with every control character (C0, DEL and the C1 range U+0080 to
// U+009F) and every byte that is not part of valid UTF-8 written as \xNN
// (lower-case hex, one per byte). Valid printable UTF-8, such as "°C", is
// kept; so is the backslash, so escaping twice changes nothing more.
// With keepNewlines, '\n' passes unchanged (for multi-line messages).
std::string EscapeText(std::string_view text, bool keepNewlines = false);

} // namespace io
