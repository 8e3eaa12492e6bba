#include "tecctl/json.h"

#include "io/text_escape.h"

#include <cmath>
#include <cstdio>

namespace tecctl {

std::string JsonEscape(const std::string& s)
{
    // Text from files and arguments arrives escaped as on the terminal, so
    // the document is always valid UTF-8.
    std::string out = "\"";
    for (unsigned char c : io::EscapeText(s, true)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void JsonWriter::keyed(const char* key)
{
    if (!m_first)
        m_text += ", ";
    m_first = false;
    if (key)
        m_text += JsonEscape(key) + ": ";
}

void JsonWriter::members(const std::string& text)
{
    if (text.empty())
        return;
    keyed(nullptr);
    m_text += text;
}

void JsonWriter::open(const char* key, char bracket)
{
    keyed(key);
    m_text += bracket;
    m_first = true;
}

void JsonWriter::close(char bracket)
{
    m_text += bracket;
    m_first = false;
}

void JsonWriter::string(const char* key, const std::string& v)
{
    keyed(key);
    m_text += JsonEscape(v);
}

void JsonWriter::number(const char* key, double v, int decimals)
{
    keyed(key);
    if (!std::isfinite(v)) {
        m_text += "null";
        return;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    m_text += buf;
}

void JsonWriter::integer(const char* key, long v)
{
    keyed(key);
    m_text += std::to_string(v);
}

void JsonWriter::boolean(const char* key, bool v)
{
    keyed(key);
    m_text += v ? "true" : "false";
}

} // namespace tecctl
