// The folder the program works in when started from the menu.
#include "app/data_folder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class DataFolder : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString before = QDir::currentPath();
    QByteArray oldXdg = qgetenv("XDG_DATA_HOME");

    ~DataFolder() override
    {
        QDir::setCurrent(before);
        if (oldXdg.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", oldXdg);
    }
};

TEST_F(DataFolder, IsTecontrolInTheXdgDataHomeAndIsMadeAndEntered)
{
    qputenv("XDG_DATA_HOME", tmp.filePath("share").toLocal8Bit());
    const std::string folder = shell::UserDataFolder();
    EXPECT_EQ(folder, tmp.filePath("share/tecontrol").toStdString());
    ASSERT_EQ(shell::EnterFolder(folder), "");
    EXPECT_EQ(QDir::currentPath(), QDir(tmp.filePath("share/tecontrol")).canonicalPath());
    // A file the program writes by its plain name lands there.
    QFile f("DftCom.prm");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_TRUE(QFile::exists(tmp.filePath("share/tecontrol/DftCom.prm")));
    // Entering it again (the second start) is no error.
    EXPECT_EQ(shell::EnterFolder(folder), "");
}

TEST_F(DataFolder, WithoutXdgDataHomeItIsUnderTheHomeFolder)
{
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(shell::UserDataFolder(), (QDir::homePath() + "/.local/share/tecontrol").toStdString());
}

TEST_F(DataFolder, AFileInTheWayIsReportedAndTheWorkingDirectoryKept)
{
    const QString blocker = tmp.filePath("tecontrol");
    QFile f(blocker);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const QString here = QDir::currentPath();
    const std::string why = shell::EnterFolder(blocker.toStdString());
    EXPECT_NE(why.find("is not a folder"), std::string::npos) << why;
    EXPECT_EQ(QDir::currentPath(), here);
    const std::string nested = shell::EnterFolder((blocker + "/below").toStdString());
    EXPECT_FALSE(nested.empty());
    EXPECT_EQ(QDir::currentPath(), here);
    EXPECT_FALSE(shell::EnterFolder("").empty());
}

} // namespace
