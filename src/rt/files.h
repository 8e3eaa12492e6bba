// File access for the system's own files. Paths with spaces and non-ASCII
// characters work on every platform; the byte content is exactly what the
// caller gives.
#pragma once

#include <memory>
#include <string>

namespace rt {

// The platform's text-mode line end ("\r\n" on Windows, "\n" elsewhere).
const char* TextLineEnd();

bool FileExists(const std::string& path);
// Reads the whole of a regular file. False, with a reason, when it cannot be
// read or is something else (a FIFO, a device, a folder), which is never
// opened in a way that could block.
bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error = nullptr);
// Writes to a temporary file beside the target and renames it into place, so
// a crash never leaves the target truncated. False, with a reason, on failure
// (the target is then unchanged).
bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error = nullptr);

// A text file kept open for appending lines, as the data log is.
class TextLog {
public:
    TextLog();
    ~TextLog();
    // Opens the file, truncating it or appending to it. False, with a reason, on failure.
    bool open(const std::string& path, bool append, std::string* error = nullptr);
    // Writes the line and the text-mode line end and hands both to the operating
    // system before returning. False, with a reason, when the write fails.
    bool writeLine(const std::string& line, std::string* error = nullptr);
    void close();
    bool isOpen() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace rt
