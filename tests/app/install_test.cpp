// The installed program: `cmake --install` into a temporary prefix puts the
// programs in bin/ and everything else in share/, and the program started
// from there, as the menu entry starts it, finds its panels, talks to the
// installed tecsim and keeps its files in the per-user data folder.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>

#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

namespace {


QString ReadText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

const char* const kDesktopId = "io.github.tecontrol.tecontrol";

class Installed : public ::testing::Test {
protected:
    static QTemporaryDir* s_prefix;
    static QString s_installLog;

    static void SetUpTestSuite()
    {
        s_prefix = new QTemporaryDir;
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(TEC_CMAKE_COMMAND, {"--install", TEC_BIN_DIR, "--prefix", s_prefix->path()});
        install.waitForFinished(120000);
        s_installLog = QString::fromLocal8Bit(install.readAll());
        if (install.exitCode() != 0)
            s_installLog.prepend("cmake --install failed:\n");
    }
    static void TearDownTestSuite()
    {
        delete s_prefix;
        s_prefix = nullptr;
    }
    static QString at(const QString& relative) { return s_prefix->filePath(relative); }

    ~Installed() override
    {
        for (QProcess* p : {&program, &tecsim}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    QProcess tecsim;
    QProcess program;
};

QTemporaryDir* Installed::s_prefix = nullptr;
QString Installed::s_installLog;

TEST_F(Installed, ProgramsInBinEverythingElseInShare)
{
    ASSERT_FALSE(s_installLog.startsWith("cmake --install failed")) << s_installLog.toStdString();
    for (const char* program : {"bin/tecontrol", "bin/tecsim"})
        EXPECT_TRUE(QFileInfo(at(program)).isExecutable()) << program;
    const QStringList panels = QDir(at("share/tecontrol/ui")).entryList({"VEXA *.uir"}, QDir::Files);
    EXPECT_EQ(panels.size(), 10) << panels.join(", ").toStdString();
    for (const QString& file :
         {QString("share/applications/%1.desktop").arg(kDesktopId), QString("share/metainfo/%1.metainfo.xml").arg(kDesktopId),
          QString("share/icons/hicolor/scalable/apps/tecontrol.svg"), QString("share/man/man1/tecontrol.1.gz"),
          QString("share/man/man1/tecsim.1.gz"), QString("share/doc/tecontrol/ports.md"),
          QString("share/doc/tecontrol/CHANGELOG.md")})
        EXPECT_TRUE(QFileInfo(at(file)).isFile()) << file.toStdString();
    // Nothing else: no tests, benchmarks, libraries or headers.
    QDirIterator it(s_prefix->path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(s_prefix->path()).relativeFilePath(it.next());
        EXPECT_TRUE(relative.startsWith("share/") || relative == "bin/tecontrol" || relative == "bin/tecsim" ||
                    relative == "bin/tecctl")
            << relative.toStdString();
    }
}

TEST_F(Installed, MenuEntryCommandRunsAgainstTecsimAndWorksInTheDataFolder)
{
    ASSERT_FALSE(s_installLog.startsWith("cmake --install failed")) << s_installLog.toStdString();
    // The menu entry's command line, as the desktop runs it.
    const QSettings desktop(at(QString("share/applications/%1.desktop").arg(kDesktopId)), QSettings::IniFormat);
    QStringList exec = desktop.value("Desktop Entry/Exec").toString().split(' ', Qt::SkipEmptyParts);
    ASSERT_FALSE(exec.isEmpty());
    EXPECT_EQ(exec.takeFirst(), "tecontrol");

    QTemporaryDir home;
    tecsim.start(at("bin/tecsim"), {"--log", home.filePath("traffic.log")});
    ASSERT_TRUE(tecsim.waitForStarted(5000));
    QString simOut;
    QString pty;
    ASSERT_TRUE(WaitFor(
        [&] {
            tecsim.waitForReadyRead(10);
            simOut += QString::fromLocal8Bit(tecsim.readAllStandardOutput());
            const int from = simOut.indexOf("tecsim: /");
            const int end = simOut.indexOf('\n', from);
            if (from < 0 || end < 0)
                return false;
            pty = simOut.mid(from + 8, end - from - 8).trimmed();
            return true;
        },
        10))
        << simOut.toStdString();

    // Started where the desktop starts programs: the home folder.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("TECONTROL_UI_DIR");
    env.insert("HOME", home.path());
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(home.path());
    program.start(at("bin/tecontrol"), exec + QStringList{"--port", "1=" + pty});
    ASSERT_TRUE(program.waitForStarted(5000));

    const QString settings = home.filePath("data/tecontrol/DftCom.prm");
    EXPECT_TRUE(WaitFor([&] { return ReadText(settings) == "1 19200 1"; }, 30))
        << ReadText(home.filePath("traffic.log")).toStdString() << program.readAllStandardError().toStdString();
    EXPECT_TRUE(ReadText(home.filePath("traffic.log")).contains("rx 01 03 1F 00 00 01 83 DE"));
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(home.filePath("DftCom.prm"))) << "a file landed in the home folder";
    // The main panel's place is remembered for the next start.
    const QSettings windows(home.filePath("config/tecontrol/tecontrol.conf"), QSettings::IniFormat);
    EXPECT_TRUE(windows.value("windows/PARM/geometry").toRect().isValid());

    tecsim.terminate();
    EXPECT_TRUE(tecsim.waitForFinished(5000));
}

} // namespace
