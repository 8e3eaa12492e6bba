// Reading and writing the programs' files: links, special files, sizes,
// permissions. Every file is made in the test's own temporary folder; the
// special files are FIFOs, sockets and device nodes made there, never the
// system's own.
#include "io/file_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Folder {
public:
    Folder()
    {
        std::string t = (fs::temp_directory_path() / "tec-files-XXXXXX").string();
        m_path = ::mkdtemp(t.data());
    }
    ~Folder()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);  // removes links, never what they lead to
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }
    std::vector<std::string> names() const
    {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(m_path))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }

private:
    std::string m_path;
};

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    { std::ofstream(path, std::ios::binary) << text; }
    ::chmod(path.c_str(), mode);
}

mode_t TypeOf(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool MakeSocket(const std::string& path)
{
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (s < 0 || path.size() >= sizeof a.sun_path)
        return false;
    std::copy(path.begin(), path.end(), a.sun_path);
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// Runs `f` on a thread and fails, instead of hanging, when it blocks.
template <class F>
auto WithinSeconds(double seconds, F f) -> decltype(f())
{
    auto task = std::async(std::launch::async, f);
    if (task.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked";
        std::quick_exit(1);  // a thread stuck on a FIFO cannot be joined
    }
    return task.get();
}

} // namespace

// A FIFO, a socket, a folder and (as root) a device node, each directly at
// the name and behind a link: nothing is read, opened for lines or
// replaced, nothing blocks, and the message names what is there.
TEST(FileIo, SpecialFilesAreRefusedUntouched)
{
    Folder dir;
    struct Case {
        std::string name;
        mode_t type;
        std::string says;
    };
    std::vector<Case> cases;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    cases.push_back({"fifo", S_IFIFO, "a FIFO"});
    ASSERT_TRUE(MakeSocket(dir / "sock"));
    cases.push_back({"sock", S_IFSOCK, "a socket"});
    fs::create_directory(dir / "folder");
    cases.push_back({"folder", S_IFDIR, "a folder"});
    // A node of the same device as /dev/zero, in the test's folder: if the
    // code were wrong only this node would be replaced.
    if (::geteuid() == 0 && ::mknod((dir / "zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0)
        cases.push_back({"zero", S_IFCHR, "a character device"});
    for (const Case& c : std::vector<Case>(cases)) {
        ASSERT_EQ(::symlink(c.name.c_str(), (dir / ("link-" + c.name)).c_str()), 0);
        cases.push_back({"link-" + c.name, c.type, "leads to " + dir.path() + "/" + c.name + ", which is " + c.says});
    }
    const std::vector<std::string> before = dir.names();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        std::string text = "kept", error;
        EXPECT_FALSE(WithinSeconds(3, [&] { return io::ReadRegularFile(path, 1 << 20, &text, &error); }));
        EXPECT_EQ(text, "kept");
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        error.clear();
        EXPECT_FALSE(WithinSeconds(3, [&] { return io::WriteFileReplacing(path, "new", &error); }));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        error.clear();
        EXPECT_EQ(WithinSeconds(3, [&] { return io::OpenForLines(path, false, &error); }), -1);
        EXPECT_EQ(WithinSeconds(3, [&] { return io::OpenForLines(path, true, &error); }), -1);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(TypeOf(dir / c.name.substr(c.name.rfind('-') + 1)), c.type);
    }
    EXPECT_EQ(dir.names(), before);  // no temporary file left, no link replaced
}

// A link is followed and stays a link; the file keeps its permissions; a new
// file gets the umask's; a second hard link keeps the old contents.
TEST(FileIo, WritingKeepsLinksAndPermissions)
{
    Folder dir;
    fs::create_directory(dir / "real");
    Put(dir / "real/settings.prm", "old", 0600);
    ASSERT_EQ(::symlink("real/settings.prm", (dir / "DftCom.prm").c_str()), 0);
    ASSERT_EQ(::link((dir / "real/settings.prm").c_str(), (dir / "hard.prm").c_str()), 0);
    std::string error;
    ASSERT_TRUE(io::WriteFileReplacing(dir / "DftCom.prm", "1 19200 1\n", &error)) << error;
    EXPECT_EQ(TypeOf(dir / "DftCom.prm"), S_IFLNK);
    EXPECT_EQ(Slurp(dir / "real/settings.prm"), "1 19200 1\n");
    EXPECT_EQ(ModeOf(dir / "real/settings.prm"), 0600u);
    EXPECT_EQ(Slurp(dir / "hard.prm"), "old");  // renaming gives the name a new file
    EXPECT_EQ(fs::directory_iterator(dir / "real")->path().filename(), "settings.prm");

    Put(dir / "shared.prm", "old", 0640);
    ASSERT_TRUE(io::WriteFileReplacing(dir / "shared.prm", "new", &error)) << error;
    EXPECT_EQ(ModeOf(dir / "shared.prm"), 0640u);
    if (::geteuid() != 0) {  // root may write any file
        Put(dir / "kept.prm", "old", 0444);
        EXPECT_FALSE(io::WriteFileReplacing(dir / "kept.prm", "new", &error));
        EXPECT_EQ(Slurp(dir / "kept.prm"), "old");
    }

    for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
        const mode_t old = ::umask(mask);
        const std::string path = dir / ("new-" + std::to_string(mask) + ".prm");
        const bool ok = io::WriteFileReplacing(path, "x", &error);
        ::umask(old);
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(ModeOf(path), 0666u & ~mask);
    }

    // A link that leads nowhere yet: the file is made where it leads.
    ASSERT_EQ(::symlink("real/later.prm", (dir / "later.prm").c_str()), 0);
    ASSERT_TRUE(io::WriteFileReplacing(dir / "later.prm", "made", &error)) << error;
    EXPECT_EQ(TypeOf(dir / "later.prm"), S_IFLNK);
    EXPECT_EQ(Slurp(dir / "real/later.prm"), "made");
}

// A link planted where a fixed temporary name would be, and a link planted
// by another user in a shared sticky folder, lead nowhere.
TEST(FileIo, PlantedLinksAreNotWrittenThrough)
{
    Folder dir;
    Put(dir / "victim", "precious");
    Put(dir / "out.prm", "old");
    for (const char* planted : {"out.prm.tecctl-new", ".out.prm.tmp", "out.prm~"})
        ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / planted).c_str()), 0);
    std::string error;
    ASSERT_TRUE(io::WriteFileReplacing(dir / "out.prm", "new", &error)) << error;
    EXPECT_EQ(Slurp(dir / "out.prm"), "new");
    EXPECT_EQ(Slurp(dir / "victim"), "precious");
    EXPECT_EQ(dir.names().size(), 5u);

    if (::geteuid() != 0)
        GTEST_SKIP() << "a link owned by another user needs root to make";
    fs::create_directory(dir / "shared");
    ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
    const std::string link = dir / "shared/DftCom.prm";
    ASSERT_EQ(::symlink((dir / "victim").c_str(), link.c_str()), 0);
    ASSERT_EQ(::lchown(link.c_str(), 54321, 54321), 0);
    EXPECT_FALSE(io::WriteFileReplacing(link, "new", &error));
    EXPECT_NE(error.find("shared folder"), std::string::npos) << error;
    std::string text;
    EXPECT_FALSE(io::ReadRegularFile(link, 1024, &text, &error));
    EXPECT_EQ(io::OpenForLines(link, true, &error), -1);
    EXPECT_EQ(Slurp(dir / "victim"), "precious");
    EXPECT_EQ(TypeOf(link), S_IFLNK);
}

// Sizes are checked before a byte is read: a sparse 3 GB file is refused at
// once, whole or in pieces, and a file that grows past the limit while it is
// read is refused then.
TEST(FileIo, LargeFilesAreRefusedBeforeReading)
{
    Folder dir;
    const std::string huge = dir / "DftCom.prm";
    {
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 3LL << 30), 0);
        ::close(fd);
    }
    const auto start = std::chrono::steady_clock::now();
    std::string text = "kept", error;
    EXPECT_FALSE(io::ReadRegularFile(huge, io::kSmallFileLimit, &text, &error));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(error, "it is 3.0 GB, more than the 64 KiB a file of its kind may have");
    io::FileReader reader;
    EXPECT_FALSE(reader.open(huge, 256 << 20, &error));
    EXPECT_FALSE(reader.isOpen());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    Put(huge, std::string(100, 'x'));
    ASSERT_TRUE(io::ReadRegularFile(huge, 100, &text, &error)) << error;
    EXPECT_EQ(text, std::string(100, 'x'));
    ASSERT_TRUE(reader.open(huge, 150, &error)) << error;
    EXPECT_EQ(reader.size(), 100u);
    { std::ofstream(huge, std::ios::app) << std::string(100, 'y'); }
    char buffer[64];
    long long n = 0, total = 0;
    while ((n = reader.read(buffer, sizeof buffer, &error)) > 0)
        total += n;
    EXPECT_EQ(n, -1);
    EXPECT_LE(total, 150 + 64);
    EXPECT_NE(error.find("grew past"), std::string::npos) << error;
}

// The data log opened through a link, appended to or emptied with its
// permissions kept; a missing folder or file said.
TEST(FileIo, LinesThroughLinksAndMissingFiles)
{
    Folder dir;
    Put(dir / "run.dat", "header\n", 0600);
    ASSERT_EQ(::symlink("run.dat", (dir / "today.dat").c_str()), 0);
    std::string error;
    int fd = io::OpenForLines(dir / "today.dat", true, &error);
    ASSERT_GE(fd, 0) << error;
    ASSERT_EQ(::write(fd, "line\n", 5), 5);
    ::close(fd);
    EXPECT_EQ(Slurp(dir / "run.dat"), "header\nline\n");
    fd = io::OpenForLines(dir / "today.dat", false, &error);
    ASSERT_GE(fd, 0) << error;
    ::close(fd);
    EXPECT_EQ(Slurp(dir / "run.dat"), "");
    EXPECT_EQ(ModeOf(dir / "run.dat"), 0600u);
    EXPECT_EQ(TypeOf(dir / "today.dat"), S_IFLNK);

    EXPECT_FALSE(io::WriteFileReplacing(dir / "no folder/x.prm", "x", &error));
    EXPECT_FALSE(error.empty());
    std::string text;
    EXPECT_FALSE(io::ReadRegularFile(dir / "missing.prm", 100, &text, &error));
    EXPECT_EQ(error, "it does not exist");
}
