// File access for the system's own files. Paths with spaces and non-ASCII
// characters work on every platform; the byte content is exactly what the
// caller gives.
#pragma once

#include "io/file_io.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rt {

// The platform's text-mode line end ("\r\n" on Windows, "\n" elsewhere).
const char* TextLineEnd();

bool FileExists(const std::string& path);
// Reads the whole of a regular file of at most `limit` bytes (by default the
// limit of a settings, scale, parameter or step file). False, with a reason,
// when it cannot be read, is too large, or is something else (a FIFO, a
// device, a folder), which is never opened in a way that could block.
// Symbolic links are followed (see io/file_io.h).
bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error = nullptr,
                   std::uint64_t limit = io::kSmallFileLimit);
// Replaces the file the path leads to whole or not at all, through a new file
// beside it renamed into place, keeping its permissions; a device, FIFO,
// socket or folder at the name is refused. False, with a reason, on failure
// (the target is then unchanged).
bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error = nullptr);

// A text file kept open for appending lines, as the data log is.
class TextLog {
public:
    TextLog();
    ~TextLog();
    // Opens the file a path leads to, emptying it or appending to it; anything
    // but a regular file is refused (io::OpenForLines). False, with a reason,
    // on failure.
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
