#include "tecctl/json.h"

#include "io/text_escape.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tecctl {

namespace {

// Printable ASCII with nothing to escape: the common case of keys, words
// and numbers' texts, written as it stands.
bool Plain(const char* s, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return false;
    }
    return true;
}

void AppendQuoted(std::string& out, const char* s, std::size_t n)
{
    if (Plain(s, n)) {
        out += '"';
        out.append(s, n);
        out += '"';
    } else {
        out += JsonEscape(std::string(s, n));
    }
}

} // namespace

std::string JsonEscape(const std::string& s)
{
    if (Plain(s.data(), s.size()))
        return '"' + s + '"';
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
    if (key) {
        AppendQuoted(m_text, key, std::strlen(key));
        m_text += ": ";
    }
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
    AppendQuoted(m_text, v.data(), v.size());
}

void JsonWriter::number(const char* key, double v, int decimals)
{
    keyed(key);
    if (!std::isfinite(v)) {
        m_text += "null";
        return;
    }
    // As printf's "%.*f" writes it, without its cost.
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    if (r.ec == std::errc())
        m_text.append(buf, r.ptr);
    else
        m_text += "null";
}

void JsonWriter::integer(const char* key, long v)
{
    keyed(key);
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    m_text.append(buf, r.ptr);
}

void JsonWriter::boolean(const char* key, bool v)
{
    keyed(key);
    m_text += v ? "true" : "false";
}

} // namespace tecctl
