// A small JSON writer: objects and arrays in the order written, strings
// escaped, numbers with the decimals asked for.
#pragma once

#include <string>

namespace tecctl {

class JsonWriter {
public:
    JsonWriter() { m_text.reserve(512); }
    void beginObject(const char* key = nullptr) { open(key, '{'); }
    void endObject() { close('}'); }
    void beginArray(const char* key = nullptr) { open(key, '['); }
    void endArray() { close(']'); }
    void string(const char* key, const std::string& v);
    void number(const char* key, double v, int decimals);
    void integer(const char* key, long v);
    void boolean(const char* key, bool v);
    // Members another writer wrote (its text()) into the object open now.
    void members(const std::string& text);
    const std::string& text() const { return m_text; }

private:
    void open(const char* key, char bracket);
    void close(char bracket);
    void keyed(const char* key);
    std::string m_text;
    bool m_first = true;
};

std::string JsonEscape(const std::string& s);

} // namespace tecctl
