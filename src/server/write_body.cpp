// The write body's JSON parser: pure, no Qt (see route.h), so the fuzz build
// compiles it. Only what a write needs: one flat object.
#include "server/route.h"

namespace server {

namespace {

struct Reader {
    std::string_view s;
    std::size_t i = 0;
    std::string error;

    void space()
    {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r'))
            ++i;
    }
    bool fail(const std::string& why)
    {
        if (error.empty())
            error = why;
        return false;
    }
    bool hex4(unsigned* out)
    {
        if (i + 4 > s.size())
            return fail("a \\u escape is cut short");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s[i++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
            else return fail("a \\u escape wants four hex digits");
        }
        *out = v;
        return true;
    }
    static void utf8(unsigned cp, std::string* out)
    {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    // One UTF-8 sequence starting at i, checked (no overlong forms, no
    // surrogates, nothing past U+10FFFF), copied to out.
    bool utf8Sequence(std::string* out)
    {
        const auto b0 = static_cast<unsigned char>(s[i]);
        int n = 0;
        unsigned cp = 0, min = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) n = 1, cp = b0 & 0x1F, min = 0x80;
        else if (b0 >= 0xE0 && b0 <= 0xEF) n = 2, cp = b0 & 0x0F, min = 0x800;
        else if (b0 >= 0xF0 && b0 <= 0xF4) n = 3, cp = b0 & 0x07, min = 0x10000;
        else return fail("a string is not valid UTF-8");
        if (i + static_cast<std::size_t>(n) >= s.size())
            return fail("a string is not valid UTF-8");
        for (int k = 1; k <= n; ++k) {
            const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((b & 0xC0) != 0x80)
                return fail("a string is not valid UTF-8");
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return fail("a string is not valid UTF-8");
        out->append(s.substr(i, static_cast<std::size_t>(n) + 1));
        i += static_cast<std::size_t>(n) + 1;
        return true;
    }
    bool string(std::string* out)
    {
        out->clear();
        if (i >= s.size() || s[i] != '"')
            return fail("a string was expected");
        ++i;
        while (true) {
            if (i >= s.size())
                return fail("a string is not closed");
            const char c = s[i];
            if (c == '"') {
                ++i;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("a control character in a string");
            if (c != '\\') {
                if (static_cast<unsigned char>(c) < 0x80) {
                    out->push_back(c);
                    ++i;
                } else if (!utf8Sequence(out)) {
                    return false;
                }
                continue;
            }
            if (++i >= s.size())
                return fail("a string is not closed");
            const char e = s[i++];
            switch (e) {
            case '"': out->push_back('"'); break;
            case '\\': out->push_back('\\'); break;
            case '/': out->push_back('/'); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'u': {
                unsigned cp = 0;
                if (!hex4(&cp))
                    return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF)
                    return fail("a lone low surrogate in a string");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned lo = 0;
                    if (i + 2 > s.size() || s[i] != '\\' || s[i + 1] != 'u')
                        return fail("a lone high surrogate in a string");
                    i += 2;
                    if (!hex4(&lo))
                        return false;
                    if (lo < 0xDC00 || lo > 0xDFFF)
                        return fail("a lone high surrogate in a string");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                if (cp == 0)
                    return fail("a NUL in a string");
                utf8(cp, out);
                break;
            }
            default:
                return fail("an unknown escape in a string");
            }
        }
    }
    // JSON's number grammar exactly; the text is kept.
    bool number(std::string* out)
    {
        const std::size_t start = i;
        if (i < s.size() && s[i] == '-')
            ++i;
        if (i >= s.size())
            return fail("a number is cut short");
        if (s[i] == '0') {
            ++i;
        } else if (s[i] >= '1' && s[i] <= '9') {
            while (i < s.size() && s[i] >= '0' && s[i] <= '9')
                ++i;
        } else {
            return fail("a value was expected");
        }
        if (i < s.size() && s[i] == '.') {
            ++i;
            const std::size_t d = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9')
                ++i;
            if (i == d)
                return fail("a number has no digits after its point");
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-'))
                ++i;
            const std::size_t d = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9')
                ++i;
            if (i == d)
                return fail("a number has no digits in its exponent");
        }
        if (i - start > 64)
            return fail("a number is too long");
        out->assign(s.substr(start, i - start));
        return true;
    }
    bool word(std::string_view w)
    {
        if (s.substr(i, w.size()) != w)
            return false;
        i += w.size();
        return true;
    }
    bool value(std::string* out)
    {
        if (i >= s.size())
            return fail("a value was expected");
        const char c = s[i];
        if (c == '"')
            return string(out);
        if (c == '{' || c == '[')
            return fail("values are numbers, strings or booleans, not objects or arrays");
        if (word("true")) {
            *out = "1";
            return true;
        }
        if (word("false")) {
            *out = "0";
            return true;
        }
        if (word("null"))
            return fail("null is no value to write");
        return number(out);
    }
};

} // namespace

bool ParseWriteBody(std::string_view body, bool allowEmpty, std::vector<std::pair<std::string, std::string>>* members,
                    std::string* error)
{
    members->clear();
    if (body.size() > kMaxBodyBytes) {
        *error = "the body is larger than 64 KiB";
        return false;
    }
    Reader r;
    r.s = body;
    r.space();
    if (r.i == body.size()) {
        if (allowEmpty)
            return true;
        *error = "the body is empty; a JSON object of names and values was expected";
        return false;
    }
    auto failed = [&] {
        *error = r.error;
        members->clear();
        return false;
    };
    if (body[r.i] != '{') {
        r.fail("the body is not a JSON object");
        return failed();
    }
    ++r.i;
    r.space();
    if (r.i < body.size() && body[r.i] == '}') {
        ++r.i;
    } else {
        while (true) {
            r.space();
            std::string name, value;
            if (!r.string(&name))
                return failed();
            for (const auto& m : *members)
                if (m.first == name) {
                    r.fail("\"" + name + "\" is given twice");
                    return failed();
                }
            r.space();
            if (r.i >= body.size() || body[r.i] != ':') {
                r.fail("a ':' was expected after a name");
                return failed();
            }
            ++r.i;
            r.space();
            if (!r.value(&value))
                return failed();
            if (members->size() >= kMaxMembers) {
                r.fail("more than 64 values in one write");
                return failed();
            }
            members->emplace_back(std::move(name), std::move(value));
            r.space();
            if (r.i < body.size() && body[r.i] == ',') {
                ++r.i;
                continue;
            }
            if (r.i < body.size() && body[r.i] == '}') {
                ++r.i;
                break;
            }
            r.fail("a ',' or '}' was expected");
            return failed();
        }
    }
    r.space();
    if (r.i != body.size()) {
        r.fail("text after the JSON object");
        return failed();
    }
    if (members->empty() && !allowEmpty) {
        *error = "the object names no value to write";
        return false;
    }
    return true;
}

} // namespace server
