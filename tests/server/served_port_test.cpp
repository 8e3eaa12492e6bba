// The note naming a served port: found through any link to the device,
// ignored when stale, foreign or malformed, removed only by its writer.
#include "server/served_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace server;

class ServedPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tec-served-XXXXXX";
        dir = ::mkdtemp(name);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        device = dir + "/ttyFAKE0";
        std::ofstream(device) << "";
        ::symlink(device.c_str(), (dir + "/by-id").c_str());
    }
    std::string dir, device;
};

TEST_F(ServedPortTest, ANoteIsFoundThroughAnyLinkToItsDeviceAndRemovedOnlyByItsWriter)
{
    std::string why;
    const std::string path = WriteServedPort(dir + "/by-id", "http://127.0.0.1:8080", &why);
    ASSERT_FALSE(path.empty()) << why;
    EXPECT_EQ(path, dir + "/tecontrol/serve-ttyFAKE0.json");
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir + "/tecontrol").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    ServedPort note;
    ASSERT_TRUE(FindServedPort(device, &note));
    EXPECT_EQ(note.device, device);
    EXPECT_EQ(note.url, "http://127.0.0.1:8080");
    EXPECT_EQ(note.pid, ::getpid());
    EXPECT_TRUE(FindServedPort(dir + "/by-id", &note));
    // Another device with the same file name elsewhere is another port.
    std::ofstream(path) << "{\"device\": \"/elsewhere/ttyFAKE0\", \"url\": \"http://x\", \"pid\": " << ::getpid()
                        << "}";
    ::chmod(path.c_str(), 0600);
    EXPECT_FALSE(FindServedPort(device, &note));
    // Someone else's note stays.
    std::ofstream(path) << "{\"device\": \"" << device << "\", \"url\": \"http://x\", \"pid\": 1}";
    RemoveServedPort(path);
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
    WriteServedPort(device, "http://127.0.0.1:8080", &why);
    RemoveServedPort(path);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(ServedPortTest, AStaleNoteIsIgnoredAndCleared)
{
    std::string why;
    const std::string path = WriteServedPort(device, "http://127.0.0.1:8080", &why);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    std::ofstream(path) << "{\"device\": \"" << device << "\", \"url\": \"http://127.0.0.1:8080\", \"pid\": " << child
                        << "}";
    ServedPort note;
    EXPECT_FALSE(FindServedPort(device, &note));
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(ServedPortTest, OnlyTheUsersOwnNotesInAClosedFolderAreBelieved)
{
    std::string why;
    const std::string path = WriteServedPort(device, "http://127.0.0.1:8080", &why);
    ServedPort note;
    ::chmod(path.c_str(), 0666);
    EXPECT_FALSE(FindServedPort(device, &note));
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(FindServedPort(device, &note));
    // A folder others may write could hold anyone's note (and a token would
    // go to the URL it names).
    ::chmod((dir + "/tecontrol").c_str(), 0777);
    EXPECT_FALSE(FindServedPort(device, &note));
    EXPECT_TRUE(WriteServedPort(device, "http://127.0.0.1:8080", &why).empty());
    EXPECT_FALSE(why.empty());
    ::chmod((dir + "/tecontrol").c_str(), 0700);
    // A link in place of the note is not followed.
    ::unlink(path.c_str());
    const std::string other = dir + "/other.json";
    std::ofstream(other) << "{\"device\": \"" << device << "\", \"url\": \"http://evil\", \"pid\": " << ::getpid()
                         << "}";
    ::symlink(other.c_str(), path.c_str());
    EXPECT_FALSE(FindServedPort(device, &note));
}

TEST(ServedPortParse, MalformedNotesAreRefused)
{
    ServedPort n;
    EXPECT_TRUE(ParseServedPort("{\"device\": \"/dev/x\", \"url\": \"http://a:1\", \"pid\": 42}", &n));
    EXPECT_EQ(n.pid, 42);
    for (const char* bad : {"", "[]", "{\"device\": \"/dev/x\", \"url\": \"http://a\"}",
                            "{\"device\": \"/dev/x\", \"url\": \"http://a\", \"pid\": \"42\"}",
                            "{\"device\": \"/dev/x\", \"url\": \"http://a\", \"pid\": 4.5}",
                            "{\"device\": \"/dev/x\", \"url\": \"http://a\", \"pid\": -1}",
                            "{\"device\": \"/dev/x\", \"url\": \"file:///etc/passwd\", \"pid\": 42}",
                            "{\"device\": \"/dev/x\", \"url\": \"http://a\", \"pid\": 1e300}"})
        EXPECT_FALSE(ParseServedPort(bad, &n)) << bad;
}

} // namespace
