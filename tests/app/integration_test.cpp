// The real program against tecsim on a pseudo-terminal: start-up identifies
// the controller, reads everything, saves the settings and ends cleanly on
// SIGTERM.
#include "support/rig.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <csignal>

#include <pty.h>
#include <unistd.h>

namespace {


QString ReadText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll());
}

class Processes : public ::testing::Test {
protected:
    ~Processes() override
    {
        for (QProcess* p : {&program, &tecsim}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }
    // Starts tecsim and returns the pseudo-terminal it serves on.
    std::string startSim(const QStringList& args)
    {
        const QString inSim = QString(TEC_BIN_DIR) + "/sim/tecsim";
        tecsim.setProgram(QFile::exists(inSim) ? inSim : QString(TEC_BIN_DIR) + "/tecsim");
        tecsim.setArguments(args);
        tecsim.start();
        if (!tecsim.waitForStarted(5000))
            return {};
        std::string path;
        WaitFor(
            [&] {
                tecsim.waitForReadyRead(10);
                const QString out = QString::fromLocal8Bit(tecsim.readAllStandardOutput());
                m_simOut += out;
                const int at = m_simOut.indexOf("tecsim: /");
                if (at >= 0 && m_simOut.indexOf('\n', at) > at) {
                    path = m_simOut.mid(at + 8, m_simOut.indexOf('\n', at) - at - 8).trimmed().toStdString();
                    return true;
                }
                return false;
            },
            10);
        return path;
    }
    void startProgram(const QStringList& args,
                      QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
    {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // Window positions go to the test's folder, not the user's settings.
        env.insert("XDG_CONFIG_HOME", work.filePath("config"));
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(work.path());
        program.setProgram(QString(TEC_BIN_DIR) + "/tecontrol");
        program.setArguments(args);
        program.start();
        ASSERT_TRUE(program.waitForStarted(5000));
    }

    QTemporaryDir work;
    QProcess tecsim;
    QProcess program;
    QString m_simOut;
};

TEST_F(Processes, StartsIdentifiesReadsSavesAndEndsOnSigterm)
{
    const QString log = work.filePath("traffic.log");
    const std::string pty = startSim({"--log", log});
    ASSERT_FALSE(pty.empty()) << m_simOut.toStdString();
    startProgram({"--port", QString::fromStdString("1=" + pty), "--ui-dir", TEC_UI_DIR});

    EXPECT_TRUE(WaitFor([&] { return ReadText(log).contains("01 03 1F 00 00 01 83 DE"); }, 20))
        << ReadText(log).toStdString();
    // The read-all pass: the decimal point and the PID blocks are read after identification.
    EXPECT_TRUE(WaitFor(
        [&] {
            const QString t = ReadText(log);
            return t.contains("rx 01 03 00 03 00 06") && t.count(" rx ") >= 8;
        },
        30))
        << ReadText(log).toStdString();
    EXPECT_TRUE(WaitFor([&] { return ReadText(work.filePath("DftCom.prm")) == "1 19200 1"; }, 10))
        << ReadText(work.filePath("DftCom.prm")).toStdString();

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();

    tecsim.terminate();
    EXPECT_TRUE(tecsim.waitForFinished(5000));
}

TEST_F(Processes, InterruptEndsAsQuitDoes)
{
    const QString log = work.filePath("traffic.log");
    const std::string pty = startSim({"--log", log});
    ASSERT_FALSE(pty.empty()) << m_simOut.toStdString();
    startProgram({"--port", QString::fromStdString("1=" + pty), "--ui-dir", TEC_UI_DIR});
    ASSERT_TRUE(WaitFor([&] { return ReadText(work.filePath("DftCom.prm")) == "1 19200 1"; }, 30));

    ::kill(static_cast<pid_t>(program.processId()), SIGINT);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    // Quit sends nothing: no stop request of the confirmed end.
    EXPECT_FALSE(ReadText(log).contains("rx 01 06 00 02 00 00 28 0A")) << ReadText(log).toStdString();

    tecsim.terminate();
    EXPECT_TRUE(tecsim.waitForFinished(5000));
}

// A signal ends the program within a second even while a popup waits for
// the operator: here start-up's popup about a controller that never answers.
TEST_F(Processes, SignalUnderAPopupEndsTheProgram)
{
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        int master = -1;
        int slave = -1;
        ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const std::string device = ::ttyname(slave);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_LOGGING_RULES", "tecontrol.popup.debug=true");
        startProgram({"--port", QString::fromStdString("1=" + device), "--ui-dir", TEC_UI_DIR}, env);
        QByteArray err;
        const bool popupUp = WaitFor(
            [&] {
                program.waitForReadyRead(10);
                err += program.readAllStandardError();
                return err.contains("COMMUNICATION ERROR!");
            },
            20);
        EXPECT_TRUE(popupUp) << err.toStdString();
        const auto sent = std::chrono::steady_clock::now();
        ::kill(static_cast<pid_t>(program.processId()), sig);
        ASSERT_TRUE(program.waitForFinished(10000)) << sig;
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        EXPECT_LT(took, 2.0) << "signal " << sig;
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        ::close(slave);
        ::close(master);
    }
}

// The screenshot run ends on a signal as promptly, saying that not every
// picture was taken.
TEST_F(Processes, SignalEndsTheScreenshotRun)
{
    const QString images = work.filePath("images");
    startProgram({"--simulate", "--screenshots", images, "--ui-dir", TEC_UI_DIR});
    // Under way: the first picture is saved, the chart is being plotted.
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(images + "/main-panel.png"); }, 30))
        << program.readAllStandardError().toStdString();
    const auto sent = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_TRUE(program.readAllStandardError().contains("ended by a signal"));
    EXPECT_FALSE(QFile::exists(images + "/chart.png"));
}

TEST_F(Processes, MissingMainPanelEndsWithMinusOne)
{
    QTemporaryDir empty;
    startProgram({"--ui-dir", empty.path()});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 255);
    EXPECT_TRUE(program.readAllStandardError().contains("VEXA ParmSetup.uir"));
}

TEST_F(Processes, HelpAndVersionPrintAndEnd)
{
    startProgram({"--version"});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardOutput().startsWith("tecontrol "));
    startProgram({"--help"});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    const QByteArray help = program.readAllStandardOutput();
    for (const char* option : {"--simulate", "--speed X", "--port N=DEVICE", "--ui-dir DIR", "--startup-probe",
                               "--data-folder", "--screenshots DIR",
                               "-h, --help", "--version", "docs/ports.md"})
        EXPECT_TRUE(help.contains(option)) << option;

    // Every option the help names is one the program takes.
    startProgram({"--port", "1", "--ui-dir", TEC_UI_DIR});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 2) << "a binding without a device is refused";
    startProgram({"--screenshots", work.filePath("images"), "--ui-dir", TEC_UI_DIR});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 2) << "pictures of a real controller's panels are not taken";
    EXPECT_FALSE(QFile::exists(work.filePath("images")));
    for (const char* bad : {"0.5", "2000", "fast", "nan"}) {
        startProgram({"--simulate", "--speed", bad});
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitCode(), 2) << "--speed " << bad;
    }
    startProgram({"-h"});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(program.readAllStandardOutput(), help);
}

} // namespace
