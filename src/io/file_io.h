// Reading and writing the files the programs keep (settings, chart scale,
// parameter and step files, exports, the data log), one way for all of them.
// No Qt: tecctl, the window and the formats use it alike.
//
// A symbolic link at the name is followed to the file it leads to, which is
// what gets read or rewritten; the link stays. Whatever is there must be a
// regular file: a device, FIFO, socket or folder is refused before anything is
// read or written, so a name that leads to /dev/zero or a FIFO can neither
// block the program, feed it endless bytes nor be replaced. In a shared
// sticky folder (/tmp) a link owned by someone else is not followed, as the
// kernel's own rule for such folders has it.
//
// Every error is a reason for the operator, in words, naming the file a link
// led to when that is another one: "it is a FIFO, not a regular file".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace io {

// The most a settings, scale, parameter or step file may hold. Each is a few
// dozen bytes; 64 KiB leaves room for comments and odd line ends while a
// wrong file (a log, a picture, a disk image) is refused before it is read.
constexpr std::uint64_t kSmallFileLimit = 64 * 1024;

// "812 bytes", "64 KiB", "1.2 GB": a size for a message.
std::string DescribeSize(std::uint64_t bytes);

// True when anything is at the name: a file, a folder, a device, or a link
// (even one that leads nowhere).
bool FileExists(const std::string& path);

// A regular file open for reading in pieces, for a file too large to hold
// whole (a data log).
class FileReader {
public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens the file the path leads to. False, with a reason, when it is
    // missing, unreadable, not a regular file, or larger than `limit` bytes;
    // nothing that is not a regular file is ever opened in a way that could
    // block, and none is read.
    bool open(const std::string& path, std::uint64_t limit, std::string* error);
    // The size when it was opened.
    std::uint64_t size() const { return m_size; }
    // Reads up to `n` bytes: the number read, 0 at the end, -1 with a reason
    // when reading fails or the file has grown past the limit since it was
    // opened.
    long long read(char* buffer, std::size_t n, std::string* error);
    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::uint64_t m_limit = 0;
    std::uint64_t m_done = 0;
};

// Reads the whole of a regular file of at most `limit` bytes into `contents`
// (left as it was on failure). False, with a reason, as FileReader::open, or
// when reading fails.
bool ReadRegularFile(const std::string& path, std::uint64_t limit, std::string* contents, std::string* error);

// Replaces the contents of the file the path leads to with `contents`, whole
// or not at all: the bytes go to a new file created exclusively under a
// unique name in the same folder, are flushed to the disk, and that file is
// renamed over the target. A file that was there keeps its permissions (and,
// where the system allows, its owner); a new one gets the user's default
// permissions (0666 less the umask). Renaming gives the name a new file, so a
// second hard link to the old one keeps the old contents: writing in place
// instead would leave a half-written file after a crash, and would let a
// hard link planted in a shared folder carry the write into another file.
// False, with a reason, when the target is no regular file or any step fails;
// the target is then unchanged and no temporary file is left.
bool WriteFileReplacing(const std::string& path, std::string_view contents, std::string* error);

// Opens the file the path leads to for writing lines at its end (the data
// log), created with the user's default permissions when missing, emptied
// first unless `append`. Returns a file descriptor opened for appending (the
// caller closes it), or -1 with a reason when the target is no regular file
// or cannot be opened; then nothing has been created, emptied or changed.
int OpenForLines(const std::string& path, bool append, std::string* error);

} // namespace io
