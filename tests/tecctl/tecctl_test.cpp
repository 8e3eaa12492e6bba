// tecctl against tecsim on a pseudo-terminal: the exact frames on the wire
// (from tecsim's traffic log), the output a script reads, the exit statuses.
#include "protocol/modbus.h"
#include "support/hex.h"
#include "support/tecsim_child.h"
#include "support/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string TempDir()
{
    char name[] = "/tmp/tecctl-test-XXXXXX";
    const char* d = ::mkdtemp(name);
    return d ? d : "/tmp";
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

using Sim = testsupport::TecsimChild;

struct Result {
    int status = -1;
    std::string out, err;
};

// Starts tecctl with the arguments in `dir`; Finish waits for it.
pid_t StartTecctl(const std::string& dir, const std::vector<std::string>& args)
{
    const std::string outPath = dir + "/out.txt", errPath = dir + "/err.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(TECCTL_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TECCTL_PATH, argv.data());
        ::_exit(127);
    }
    return pid;
}

Result Finish(const std::string& dir, pid_t pid)
{
    const std::string outPath = dir + "/out.txt", errPath = dir + "/err.txt";
    int st = 0;
    ::waitpid(pid, &st, 0);
    Result r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = ReadAll(outPath);
    r.err = ReadAll(errPath);
    return r;
}

// Runs tecctl with the arguments in `dir` and waits for it.
Result Tecctl(const std::string& dir, const std::vector<std::string>& args)
{
    return Finish(dir, StartTecctl(dir, args));
}

std::string Read(int reg, int count)
{
    const comlink::ModbusFrame f = comlink::ReadFrame(1, static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(count));
    return Hex(f.b, 8);
}
std::string Write(int reg, int value)
{
    const comlink::ModbusFrame f =
        comlink::WriteFrame(1, static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(value));
    return Hex(f.b, 8);
}

// A small JSON reader: checks the whole text is one valid document and
// flattens it to "a.b.c" -> scalar text ("[i]" for array elements).
class Json {
public:
    explicit Json(const std::string& t) : m_t(t)
    {
        ws();
        valid = value("") && (ws(), m_i == m_t.size());
    }
    bool valid = false;
    std::map<std::string, std::string> values;
    double number(const std::string& path) const
    {
        const auto it = values.find(path);
        return it == values.end() ? NAN : std::atof(it->second.c_str());
    }

private:
    void ws()
    {
        while (m_i < m_t.size() && std::isspace(static_cast<unsigned char>(m_t[m_i])))
            ++m_i;
    }
    bool str(std::string* s)
    {
        if (m_t[m_i] != '"')
            return false;
        for (++m_i; m_i < m_t.size() && m_t[m_i] != '"'; ++m_i) {
            if (static_cast<unsigned char>(m_t[m_i]) < 0x20)
                return false;
            if (m_t[m_i] == '\\')
                ++m_i;
            *s += m_t[m_i];
        }
        return m_i++ < m_t.size();
    }
    bool value(const std::string& path)
    {
        if (m_i >= m_t.size())
            return false;
        const char c = m_t[m_i];
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++m_i;
            ws();
            if (m_t[m_i] == close)
                return ++m_i, true;
            for (int n = 0;; ++n) {
                ws();
                std::string key = "[" + std::to_string(n) + "]";
                if (c == '{') {
                    key.clear();
                    if (!str(&key))
                        return false;
                    ws();
                    if (m_t[m_i++] != ':')
                        return false;
                    ws();
                }
                if (!value(path.empty() ? key : path + "." + key))
                    return false;
                ws();
                if (m_t[m_i] == ',') {
                    ++m_i;
                    continue;
                }
                return m_t[m_i++] == close;
            }
        }
        std::string s;
        if (c == '"') {
            if (!str(&s))
                return false;
        } else {
            const std::size_t start = m_i;
            while (m_i < m_t.size() && std::string("+-.eE0123456789truefalsn").find(m_t[m_i]) != std::string::npos)
                ++m_i;
            s = m_t.substr(start, m_i - start);
            char* end = nullptr;
            std::strtod(s.c_str(), &end);
            if (s.empty() || (s != "true" && s != "false" && s != "null" && *end != '\0'))
                return false;
        }
        values[path] = s;
        return true;
    }
    const std::string& m_t;
    std::size_t m_i = 0;
};

class TecctlTest : public ::testing::Test {
protected:
    std::string dir = TempDir();
    Result tecctl(const Sim& sim, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--port", sim.device});
        return Tecctl(dir, args);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
};

const std::string kIdentify = "01 03 1F 00 00 01 83 DE";

// The read-all pass after identification, as the panel's Read All sends it,
// with the alarm switch off (7 in register 0x001C).
std::vector<std::string> ReadAllFrames()
{
    std::vector<std::string> f = {Read(0x2A, 1), Read(0x00, 1), Read(0x1A, 1), Read(0x21, 1), Read(0x01, 1),
                                  Read(0x02, 1), Read(0x03, 6), Read(0x09, 6), Read(0x0F, 6), Read(0x15, 5),
                                  Read(0x28, 1), Read(0x30, 1), Read(0x31, 1), Read(0x2B, 1), Read(0x29, 1),
                                  Read(0x2C, 1), Read(0x2D, 1), Read(0x32, 1), Read(0x1C, 1)};
    // Switch off: the four alarm-mode registers, in this order.
    for (const std::string& w : {Write(0x1C, 7), Write(0x23, 7), Write(0x20, 20), Write(0x27, 20)})
        f.push_back(w);
    f.push_back(Read(0x5F, 1));
    return f;
}

TEST_F(TecctlTest, ReadSendsIdentificationAndTheReadAllPassAndPrintsJsonThatParses)
{
    Sim sim(dir, {"--set", "0x001C=7", "--set", "0x0000=375", "--set", "0x1000=253", "--set", "0x0002=3"});
    ASSERT_FALSE(sim.device.empty());
    const Result r = Tecctl(dir, {"--json", "--port", sim.device, "read"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {kIdentify};
    for (const std::string& f : ReadAllFrames())
        expected.push_back(f);
    expected.push_back(Read(0x1000, 1));  // the process value, after the pass
    EXPECT_EQ(sim.requests(), expected);

    const Json j(r.out);
    ASSERT_TRUE(j.valid) << r.out;
    EXPECT_EQ(j.values.at("command"), "read");
    EXPECT_DOUBLE_EQ(j.number("parameters.sv.value"), 37.5);
    EXPECT_EQ(j.values.at("parameters.sv.unit"), "\u00B0C");
    EXPECT_EQ(j.number("decimalPoint"), 31);
    EXPECT_EQ(j.number("parameters.alarm-switch.value"), 0);
    // The process value beside the parameters, not among them; codes with words.
    EXPECT_NEAR(j.number("pv.value"), 25.3, 2.0);  // the simulated plant moves a little
    EXPECT_EQ(j.values.at("pv.unit"), "\u00B0C");
    EXPECT_EQ(j.values.count("parameters.pv.value"), 0u);
    EXPECT_EQ(j.number("parameters.function.value"), 3);
    EXPECT_EQ(j.values.at("parameters.function.word"), "manual");
    EXPECT_EQ(j.values.at("parameters.pid1.i.unit"), "s");
    EXPECT_TRUE(r.err.empty()) << r.err;

    // The same in words for a reader: the unit named once and the same everywhere.
    const Result t = tecctl(sim, {"read"});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("(process value)"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("function           manual\n"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("sv                   37.5 \u00B0C\n"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("unit                    C\n"), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("degrees"), std::string::npos) << t.out;
}

TEST_F(TecctlTest, SetWritesOnlyWhatItNamesAndRoundTripsThroughGet)
{
    Sim sim(dir);
    Result r = tecctl(sim, {"set", "sv=37.5", "unit=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The scale and the unit once, then exactly the two writes: no preamble, no alarm switch.
    EXPECT_EQ(sim.requests(),
              (std::vector<std::string>{kIdentify, Read(0x2A, 1), Read(0x29, 1), Write(0x00, 375), Write(0x29, 1)}));

    r = Tecctl(dir, {"--json", "--port", sim.device, "get", "sv", "unit"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j(r.out);
    ASSERT_TRUE(j.valid) << r.out;
    EXPECT_DOUBLE_EQ(j.number("parameters.sv.value"), 37.5);
    EXPECT_EQ(j.number("parameters.unit.value"), 1);
}

TEST_F(TecctlTest, ValuesThatDoNotFitAreRefusedBeforeAnyWrite)
{
    Sim sim(dir);
    // 4000.0 at one decimal is 40000: no 16-bit register holds it.
    Result r = tecctl(sim, {"set", "alarm-low=5", "sv=4000"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("tecctl set: "), std::string::npos) << r.err;
    for (const std::string& f : sim.requests())
        EXPECT_NE(f.substr(3, 2), "06") << "a write went out: " << f;

    r = tecctl(sim, {"set", "pid1.i=40000"});
    EXPECT_EQ(r.status, 2);
    r = tecctl(sim, {"set", "nosuch=1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("nosuch"), std::string::npos);
}

TEST_F(TecctlTest, TheControllersRefusalOfTheSetValueIsExitFive)
{
    Sim sim(dir);  // range -20..150: the controller refuses 200
    const Result r = tecctl(sim, {"set", "sv=200"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err, "tecctl set: the controller refused set value 200.0: check its high and low limits\n");
}

TEST_F(TecctlTest, SaveThenLoadWritesTheFileAndReadsBack)
{
    Sim a(dir, {"--set", "0x001C=7", "--set", "0x0000=425", "--set", "0x0009=77"});
    ASSERT_EQ(tecctl(a, {"save", "set.prm"}).status, 0);
    const std::string saved = ReadAll(dir + "/set.prm");
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.substr(0, 7), "  42.50");

    const std::string other = TempDir();
    Sim b(other, {"--set", "0x001C=7"});
    const Result r = Tecctl(dir, {"--json", "--port", b.device, "load", "set.prm"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> got = b.requests();
    ASSERT_GT(got.size(), 3u);
    EXPECT_EQ(got[0], kIdentify);
    EXPECT_EQ(got[1], Write(0x2A, 31));   // the decimal point goes first
    EXPECT_EQ(got[2], Write(0x00, 425));
    // The read-back ends the run.
    const std::vector<std::string> back = ReadAllFrames();
    ASSERT_GE(got.size(), back.size());
    EXPECT_TRUE(std::equal(back.begin(), back.end(), got.end() - static_cast<long>(back.size())));
    const Json j(r.out);
    ASSERT_TRUE(j.valid);
    EXPECT_DOUBLE_EQ(j.number("parameters.pid2.p.value"), 7.7);
    std::system(("rm -rf " + other).c_str());
}

TEST_F(TecctlTest, AMalformedFileSendsNothing)
{
    Sim sim(dir);
    std::ofstream(dir + "/bad.prm") << "1 2 3";
    Result r = tecctl(sim, {"load", "bad.prm"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "tecctl load: bad.prm: field 4 (output level): the file ends after 3 of 37 numbers\n");
    std::ofstream(dir + "/bad.srp") << "40.0 60 120 54";
    r = tecctl(sim, {"program", "put", "bad.srp"});
    EXPECT_EQ(r.status, 6);
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(TecctlTest, ProgramPutWritesTheFortyOneRegistersInOrder)
{
    Sim sim(dir);
    std::string file;
    for (int k = 1; k <= 8; ++k)
        file += std::to_string(20 + k) + ".0 60 " + std::to_string(k) + " " + (k < 8 ? "54" : "52") + " 0\n";
    file += "1.5\n";
    std::ofstream(dir + "/p.srp") << file;
    const Result r = tecctl(sim, {"program", "put", "p.srp"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The scale, then the span the step set values must keep to.
    std::vector<std::string> expected = {kIdentify, Read(0x2A, 1), Read(0x2C, 2)};
    for (int k = 1; k <= 8; ++k) {
        const int base = 0x37 + 5 * (k - 1);
        expected.push_back(Write(base, 60));                     // parameter 1
        expected.push_back(Write(base + 1, (20 + k) * 10));      // set value, in tenths
        expected.push_back(Write(base + 2, k));                  // parameter 2
        expected.push_back(Write(base + 3, k < 8 ? 54 : 52));    // action
        expected.push_back(Write(base + 4, 0));                  // loops
    }
    expected.push_back(Write(0x36, 15));
    EXPECT_EQ(sim.requests(), expected);
}

// The example parameter file with fields (1-based) replaced.
std::string ParameterFile(const std::map<int, std::string>& changes)
{
    std::istringstream in("25.00 80.00 10.00 0.00 30.00 60.00 90.00 5.00 0.00 100.00 4.00 0.00 100.00 3.00 0.00 "
                          "100.00 2.00 0.00 100.00 0.00 0.00 -20.00 150.00 0.00 120 30 120 30 120 30 120 30 1 0 0 31 0");
    std::string token, out;
    for (int field = 1; in >> token; ++field)
        out += (field > 1 ? " " : "") + (changes.count(field) ? changes.at(field) : token);
    return out;
}

TEST_F(TecctlTest, AFileWhoseRangeMustComeFirstIsAppliedWhole)
{
    Sim sim(dir, {"--set", "0x002D=1000"});  // the controller's range high: 100.0
    std::ofstream(dir + "/wide.prm") << ParameterFile({{1, "120.0"}, {23, "300.0"}});
    const Result r = tecctl(sim, {"load", "wide.prm"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> got = sim.requests();
    ASSERT_GT(got.size(), 40u);
    EXPECT_EQ(got[2], Write(0x00, 1200));  // refused: written before the range
    EXPECT_EQ(got[36], Write(0x2D, 3000));
    EXPECT_EQ(got[37], Write(0x32, 0));
    EXPECT_EQ(got[38], Write(0x00, 1200));  // taken once the file's range is in
    EXPECT_EQ(got[39], Read(0x2A, 1));      // then the read-back
    EXPECT_NE(r.out.find("written again once the file's range was in: 0x0000 (set value)\n"), std::string::npos)
        << r.out;
}

TEST_F(TecctlTest, FilesOutsideTheControllersLimitsSendNothingAndNameTheField)
{
    Sim sim(dir);
    struct Case {
        const char* file;
        std::string text;
        std::string error;
    };
    std::string steps;
    for (int k = 1; k <= 8; ++k)
        steps += "30.0 60 60 " + std::string(k == 3 ? "99" : "54") + " 0\n";
    const Case cases[] = {
        {"filter.prm", ParameterFile({{24, "12.5"}}), "filter.prm: field 24 (SW filter): 12.5 lies outside 0.0..9.9"},
        {"sv.prm", ParameterFile({{1, "-25.0"}}),
         "sv.prm: field 1 (set value): -25.0 lies outside the file's range -20.0..150.0"},
        {"more.prm", ParameterFile({}) + " 7", "more.prm: field 37 (alarm switch): the file goes on after its 37th number"},
        {"action.srp", steps + "1.0", "action.srp: field 14 (step 3 action): \"99\" is not an action the step "
                                      "program knows (54 next, 44 to 51 loop, 52 end)"},
        {"more.srp", steps.substr(0, steps.find("99")) + "54" + steps.substr(steps.find("99") + 2) + "1.0 x", ""},
    };
    for (const Case& c : cases) {
        std::ofstream(dir + "/" + c.file) << c.text;
        const bool step = std::string(c.file).find(".srp") != std::string::npos;
        const Result r = step ? tecctl(sim, {"program", "put", c.file}) : tecctl(sim, {"load", c.file});
        EXPECT_EQ(r.status, 6) << c.file << " " << r.err;
        if (!c.error.empty())
            EXPECT_EQ(r.err, std::string("tecctl ") + (step ? "program" : "load") + ": " + c.error + "\n");
        else
            EXPECT_NE(r.err.find("goes on after its 41st number"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(sim.requests().empty());

    // A step set value below the controller's range low: nothing written.
    std::string low = "-20.5 60 60 52 0\n";
    for (int k = 2; k <= 8; ++k)
        low += "30.0 60 60 52 0\n";
    std::ofstream(dir + "/low.srp") << low + "1.0";
    const Result r = tecctl(sim, {"program", "put", "low.srp"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "tecctl program: low.srp: The set value of step 1, -20.5, lies below the controller's range low, "
                     "-20.0.\n");
    EXPECT_EQ(sim.requests(), (std::vector<std::string>{kIdentify, Read(0x2A, 1), Read(0x2C, 2)}));
}

TEST_F(TecctlTest, ASignalDuringAStepProgramWriteSaysWhatWentOut)
{
    Sim sim(dir);
    std::string file;
    for (int k = 1; k <= 8; ++k)
        file += "30.0 60 60 54 0\n";
    std::ofstream(dir + "/p.srp") << file + "1.0";
    auto stepWrites = [&] {
        int n = 0;
        for (const std::string& f : sim.requests())
            n += f.substr(3, 2) == "06" ? 1 : 0;
        return n;
    };
    const pid_t pid = StartTecctl(dir, {"--port", sim.device, "program", "put", "p.srp"});
    ASSERT_TRUE(WaitFor([&] { return stepWrites() >= 5; }, 10.0));
    ::kill(pid, SIGTERM);
    const Result r = Finish(dir, pid);
    EXPECT_EQ(r.status, 7) << r.err;
    const int sent = stepWrites();
    EXPECT_LT(sent, 41);
    EXPECT_NE(r.err.find("stopped by a request to end the program after " + std::to_string(sent) + " of 41 writes"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("the controller holds a partly written step program"), std::string::npos) << r.err;
}

TEST_F(TecctlTest, WatchPrintsAndLogsOneLinePerTickSvThenPv)
{
    Sim sim(dir, {"--set", "0x0000=400"});
    const Result r = tecctl(sim, {"watch", "--count", "3", "--interval", "0", "--log", "w.dat"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {kIdentify, Read(0x2A, 1)};
    for (int t = 0; t < 3; ++t) {
        expected.push_back(Read(0x1001, 1));
        expected.push_back(Read(0x1000, 1));
    }
    EXPECT_EQ(sim.requests(), expected);
    const std::string log = ReadAll(dir + "/w.dat");
    std::istringstream lines(log);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "  Date,       Time,     SV,    PV");
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_NE(line.find(",  40.0, "), std::string::npos) << line;
    }
    EXPECT_EQ(n, 3);
    EXPECT_EQ(r.out, "  Date,       Time,     SV,    PV\n" + log.substr(log.find('\n') + 1));
}

TEST_F(TecctlTest, WordsGoOutAsCodesAndComeBackAsWords)
{
    Sim sim(dir);
    Result r = tecctl(sim, {"set", "function=PID", "unit=F", "sensor=pt100", "direction=reversed"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.requests(), (std::vector<std::string>{kIdentify, Write(0x02, 4), Write(0x29, 1), Write(0x28, 1),
                                                        Write(0x2B, 1)}));
    EXPECT_EQ(r.out, "function              pid\nunit                    F\nsensor              pt100\n"
                     "direction        reversed\n");
    r = tecctl(sim, {"get", "pv", "sv", "pid1.d"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Temperatures in the unit the controller reports, times in s.
    EXPECT_NE(r.out.find("\u00B0F (process value)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" \u00B0F\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" s\n"), std::string::npos) << r.out;
    r = tecctl(sim, {"function", "manual"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "control function manual\n");
    EXPECT_EQ(sim.requests().back(), Write(0x02, 3));
}

TEST_F(TecctlTest, OutOfRangeAndTooFineValuesWriteNothingUnlessRoundIsAsked)
{
    Sim sim(dir, {"--set", "0x002A=31"});
    auto writes = [&] {
        int n = 0;
        for (const std::string& f : sim.requests())
            n += f.substr(3, 2) == "06";
        return n;
    };
    Result r = tecctl(sim, {"output", "150"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tecctl output: output=150: out of range; output takes -100.0 to 100.0 %\n");
    EXPECT_TRUE(sim.requests().empty());  // refused before the port was opened
    r = tecctl(sim, {"set", "filter=0.5", "sv=37.55"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tecctl set: sv=37.55: finer than the decimal point allows; nearest 37.5 or 37.6\n");
    EXPECT_EQ(writes(), 0);  // the filter, though fine, waits for every value to pass
    r = tecctl(sim, {"set", "function=2"});
    EXPECT_EQ(r.status, 2);
    r = tecctl(sim, {"set", "--round", "sv=37.55"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.requests().back(), Write(0x00, 376));
    EXPECT_EQ(r.out, "sv                   37.6 \u00B0C\n");
    r = tecctl(sim, {"--round", "output", "-12.34"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.requests().back(), Write(0x01, 0xFF85));  // -12.3 in tenths
    EXPECT_EQ(writes(), 2);
}

TEST_F(TecctlTest, ProgramStatusIsSaidInWords)
{
    Sim sim(dir);
    Result r = tecctl(sim, {"program", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "step program not running\n");
    ASSERT_EQ(tecctl(sim, {"program", "run"}).status, 0);
    r = Tecctl(dir, {"--json", "--port", sim.device, "program", "status"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j(r.out);
    ASSERT_TRUE(j.valid) << r.out;
    EXPECT_EQ(j.values.at("running"), "true");
    EXPECT_EQ(j.values.at("state"), "running");
    EXPECT_EQ(j.number("step"), 1);
    r = tecctl(sim, {"program", "status"});
    EXPECT_EQ(r.out.rfind("step program running: step 1 of 8, segment ", 0), 0u) << r.out;
    tecctl(sim, {"program", "stop"});
}

TEST_F(TecctlTest, FileTextInMessagesIsEscapedAndNothingIsSent)
{
    Sim sim(dir);
    // A title-setting escape sequence, a NUL and a byte that is no UTF-8 in the first field.
    std::ofstream(dir + "/evil.prm", std::ios::binary) << std::string("25\x1b]0;owned\x07\0\xff 1 2", 14);
    Result r = tecctl(sim, {"load", "evil.prm"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "tecctl load: evil.prm: field 1 (set value): \"25\\x1b]0;owned\\x07\\x00\\xff\" is not a number\n");
    std::ofstream(dir + "/evil.srp", std::ios::binary) << "4\x1b[2J 60 1 52 0";
    r = Tecctl(dir, {"--json", "--port", sim.device, "program", "put", "evil.srp"});
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("\"4\\x1b[2J\""), std::string::npos) << r.err;
    for (const std::string& text : {r.out, r.err})
        for (char c : text)
            EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "a control byte reached the terminal";
    EXPECT_TRUE(sim.requests().empty());
    // A name given on the command line is escaped as well.
    r = Tecctl(dir, {"--port", sim.device, "get", "sv\x1b[31m"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("sv\\x1b[31m"), std::string::npos) << r.err;
}

TEST_F(TecctlTest, WatchKeepsAnExistingLogUnlessAppendOrOverwriteIsGiven)
{
    Sim sim(dir, {"--set", "0x0000=400"});
    const std::string old = "  Date,       Time,     SV,    PV\n1/2/2026, 10:00:00,  40.0,  39.9\n";
    std::ofstream(dir + "/w.dat") << old;
    Result r = tecctl(sim, {"watch", "--count", "1", "--interval", "0", "--log", "w.dat"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--append"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--overwrite"), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(dir + "/w.dat"), old);
    EXPECT_TRUE(sim.requests().empty());
    r = tecctl(sim, {"watch", "--count", "1", "--interval", "0", "--log", "w.dat", "--append"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string appended = ReadAll(dir + "/w.dat");
    EXPECT_EQ(appended.substr(0, old.size()), old);
    EXPECT_GT(appended.size(), old.size());
    r = tecctl(sim, {"watch", "--count", "1", "--interval", "0", "--log", "w.dat", "--overwrite"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string replaced = ReadAll(dir + "/w.dat");
    EXPECT_EQ(replaced.rfind("  Date,", 0), 0u);
    EXPECT_EQ(std::count(replaced.begin(), replaced.end(), '\n'), 2);
    // An empty file is no log yet: it is started without a word.
    std::ofstream(dir + "/empty.dat").close();
    EXPECT_EQ(tecctl(sim, {"watch", "--count", "1", "--interval", "0", "--log", "empty.dat"}).status, 0);
}

TEST_F(TecctlTest, ExitStatusesSayWhatFailed)
{
    // Usage: nothing is opened.
    Result r = Tecctl(dir, {"--address", "0", "read"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--address"), std::string::npos);
    // No settings file and no port.
    r = Tecctl(dir, {"read"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("DftCom.prm"), std::string::npos);
    // A port that is not there.
    r = Tecctl(dir, {"--port", dir + "/ttyNONE", "identify"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("not present"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("tecctl identify: cannot open " + dir + "/ttyNONE: ", 0), 0u) << r.err;  // by its path
    // A silent controller, and one that is not ours.
    {
        Sim silent(dir, {"--silent"});
        r = tecctl(silent, {"identify"});
        EXPECT_EQ(r.status, 4);
        EXPECT_NE(r.err.find("tecctl identify: no answer from address 1"), std::string::npos) << r.err;
        EXPECT_EQ(silent.requests(), std::vector<std::string>{kIdentify});
    }
    Sim other(dir, {"--model", "0x42"});
    r = tecctl(other, {"read"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("model code 0x42"), std::string::npos) << r.err;
    EXPECT_EQ(other.requests(), std::vector<std::string>{kIdentify});  // nothing after a refusal
}

// Saves go to the file a link leads to, keep its permissions, and never
// write through a link planted at a temporary name; what is no regular file,
// or too large for its kind, is refused before anything is sent.
TEST_F(TecctlTest, FilesAreRegularFilesOfTheirSizeOnly)
{
    Sim sim(dir);
    std::ofstream(dir + "/victim") << "precious";
    std::ofstream(dir + "/real.prm") << "old";
    ::chmod((dir + "/real.prm").c_str(), 0600);
    ASSERT_EQ(::symlink("real.prm", (dir + "/set.prm").c_str()), 0);
    ASSERT_EQ(::symlink((dir + "/victim").c_str(), (dir + "/set.prm.tecctl-new").c_str()), 0);
    Result r = tecctl(sim, {"save", "set.prm"});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat((dir + "/set.prm").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat((dir + "/real.prm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadAll(dir + "/real.prm").substr(0, 2), "  ");
    EXPECT_EQ(ReadAll(dir + "/victim"), "precious");

    ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0600), 0);
    r = tecctl(sim, {"program", "get", "pipe"});
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, "tecctl program: pipe cannot be written: it is a FIFO (named pipe), not a regular file; "
                     "nothing was written\n");
    ASSERT_EQ(::lstat((dir + "/pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    const std::size_t sent = sim.requests().size();
    const int big = ::open((dir + "/big.prm").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(big, 3LL << 30), 0);
    ::close(big);
    r = tecctl(sim, {"load", "pipe"});  // would block for ever if it were opened to be read
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("pipe cannot be read: it is a FIFO"), std::string::npos) << r.err;
    r = tecctl(sim, {"program", "put", "big.prm"});
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("big.prm cannot be read: it is 3.0 GB, more than the 64 KiB"), std::string::npos) << r.err;
    ASSERT_EQ(::rename((dir + "/big.prm").c_str(), (dir + "/DftCom.prm").c_str()), 0);
    r = Tecctl(dir, {"identify"});
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.err.find("DftCom.prm cannot be read: it is 3.0 GB"), std::string::npos) << r.err;
    EXPECT_EQ(sim.requests().size(), sent);
}

TEST_F(TecctlTest, WithoutPortTheSettingsFileDecides)
{
    Sim sim(dir, {"--address", "7"});
    // The window program's file: port, baud rate, address. A device path has
    // no number, so the test names the port by its path and the address by the file.
    std::ofstream(dir + "/DftCom.prm") << "1 19200 7";
    const Result r = Tecctl(dir, {"--port", sim.device, "identify"});
    EXPECT_EQ(r.status, 4);  // --port alone keeps address 1, which nobody answers
    std::ofstream(dir + "/DftCom.prm") << "0 19200 7";
    EXPECT_EQ(Tecctl(dir, {"identify"}).status, 6);
    EXPECT_EQ(Tecctl(dir, {"--address", "7", "--port", sim.device, "identify"}).status, 0);
}

// ---- one program per port, and answers named for what they were

// A tecctl left running (watch) in `dir`, its output in held.out / held.err;
// ended (only it) by the test.
pid_t HoldTecctl(const std::string& dir, const std::vector<std::string>& args)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open((dir + "/held.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open((dir + "/held.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(TECCTL_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TECCTL_PATH, argv.data());
        ::_exit(127);
    }
    return pid;
}

TEST_F(TecctlTest, ASecondTecctlOnAHeldPortIsToldBusyAndSendsNothing)
{
    const std::string link = dir + "/ttyTEC";
    Sim sim(dir, {"--link", link});
    ASSERT_FALSE(sim.device.empty());
    // The first holds the port through the symbolic link, polling.
    const pid_t first = HoldTecctl(dir, {"--port", link, "watch", "--interval", "0.2"});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitFor([&] { return sim.requests().size() >= 4; }, 20.0)) << ReadAll(dir + "/held.err");

    // The second names the device itself, and then the link.
    const std::string probe = Read(0x31, 1);  // a frame the first never sends
    for (const std::string& port : {sim.device, link}) {
        const Result r = Tecctl(dir, {"--port", port, "raw", "01", "03", "00", "31", "00", "01"});
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(port + " is busy, held by tecctl (pid " + std::to_string(first) + ")"), std::string::npos)
            << r.err;
    }
    ::kill(first, SIGTERM);
    int st = 0;
    ::waitpid(first, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << ReadAll(dir + "/held.err");
    std::vector<std::string> seen = sim.requests();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), probe), 0) << "the refused program sent nothing";
    for (const std::string& f : seen)
        EXPECT_TRUE(f == kIdentify || f == Read(0x2A, 1) || f == Read(0x1000, 1) || f == Read(0x1001, 1)) << f;

    // Once the first has ended the port is free.
    const Result r = Tecctl(dir, {"--port", link, "raw", "01", "03", "00", "31", "00", "01"});
    EXPECT_EQ(r.status, 0) << r.err;
    seen = sim.requests();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), probe), 1);
}

TEST_F(TecctlTest, RawSaysWhatTheAnswerWasAndExitsByIt)
{
    struct Case {
        std::vector<std::string> faults;
        std::string words;
        int status;
    };
    const Case cases[] = {
        {{}, "good answer", 0},
        {{"--silent"}, "no answer", 4},
        {{"--short", "3"}, "short answer (5 of 8 bytes)", 4},
        {{"--bad-crc"}, "bad CRC", 4},
        {{"--exception", "2"}, "refused (exception code 2)", 5},
        {{"--exception", "3", "--five-byte-exception"}, "refused (exception code 3)", 5},
    };
    for (const Case& c : cases) {
        Sim sim(dir, c.faults);
        const Result r = tecctl(sim, {"raw", "01", "03", "10", "00", "00", "01"});
        EXPECT_EQ(r.status, c.status) << c.words << ": " << r.err;
        EXPECT_NE(r.out.find("\n" + c.words + "\n"), std::string::npos) << r.out;
        if (c.status != 0) {
            EXPECT_EQ(r.err, "tecctl raw: " + c.words + "\n");
        }
    }
    // A block read is read whole.
    Sim sim(dir);
    const Result r = tecctl(sim, {"raw", "01", "03", "00", "03", "00", "06"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("good answer"), std::string::npos) << r.out;
}

TEST_F(TecctlTest, IdentificationNamesAModelCodeOnlyFromAnIntactAnswer)
{
    {
        // A refusal in the standard 5-byte form: its last bytes are a CRC.
        Sim sim(dir, {"--exception", "2", "--five-byte-exception"});
        const Result r = tecctl(sim, {"identify"});
        EXPECT_EQ(r.status, 5);
        EXPECT_NE(r.err.find("identification refused by address 1 on " + sim.device + " (exception code 2)"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("model code"), std::string::npos) << r.err;
    }
    for (const std::vector<std::string>& fault : {std::vector<std::string>{"--bad-crc"}, {"--short", "2"}}) {
        Sim sim(dir, fault);
        const Result r = tecctl(sim, {"identify"});
        EXPECT_EQ(r.status, 4);
        EXPECT_NE(r.err.find(fault[0] == "--bad-crc" ? "identification got an answer with a bad CRC from address 1"
                                                     : "identification got a short answer (6 of 8 bytes) from address 1"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("model code"), std::string::npos) << r.err;
    }
}

TEST_F(TecctlTest, ALateAnswerIsNotTakenByTheNextProgram)
{
    // The first request's answer comes 1.3 s late, after tecctl gave up on it.
    Sim sim(dir, {"--delay", "1.3"});
    Result r = tecctl(sim, {"raw", "01", "03", "10", "01", "00", "01"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find("\nno answer\n"), std::string::npos) << r.out;
    // The next program's request is another: a late answer to the first
    // would be a wrong answer here, or be taken as its own.
    r = tecctl(sim, {"raw", "01", "06", "00", "31", "00", "05"});
    EXPECT_NE(r.out.find("received \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nno answer\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 4);
}

// scan asks each address of the range for its identity once, in order,
// writes nothing, and lists who answered; a silenced controller is not
// listed, and a line where nobody answers is exit status 4.
TEST_F(TecctlTest, ScanListsTheControllersOfARange)
{
    Sim sim(dir, {"--addresses", "1,2,3", "--fault", "2:silent", "--ident-low", "3:0x42"});
    Result r = tecctl(sim, {"scan", "--range", "1-10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "address 1: model 0xF1 (VEXAMAX), identity 0x23\n"
                     "address 3: model 0xF1 (VEXAMAX), identity 0x42\n");
    std::vector<std::string> expected;
    for (int a = 1; a <= 10; ++a) {
        const comlink::ModbusFrame f = comlink::ReadFrame(static_cast<std::uint16_t>(a), 0x1F00, 1);
        expected.push_back(Hex(f.b, 8));
    }
    EXPECT_EQ(sim.requests(), expected);

    r = tecctl(sim, {"--json", "scan", "--range", "2-3"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json doc(r.out);
    ASSERT_TRUE(doc.valid) << r.out;
    EXPECT_EQ(doc.number("found"), 1);
    EXPECT_EQ(doc.number("addresses.[0].address"), 3);
    EXPECT_EQ(doc.number("addresses.[0].identity"), 0x42);

    Sim silent(dir, {"--addresses", "1-3", "--silent"});
    r = tecctl(silent, {"scan", "--range", "1-10"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no controller answered at addresses 1-10 on " + silent.device), std::string::npos) << r.err;

    // Garbled answers are no controller found, but are told apart from silence.
    Sim garbled(dir, {"--addresses", "4", "--bad-crc"});
    r = tecctl(garbled, {"scan", "--range", "1-5"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "address 4: an answer with a bad CRC: possible duplicate address\n");
    EXPECT_NE(r.err.find("no intact answer at addresses 1-5 on " + garbled.device + ", only garbled ones at 1 address"),
              std::string::npos)
        << r.err;
}

// Ctrl-C ends a scan at once, with what was found so far.
TEST_F(TecctlTest, ScanEndsAtCtrlC)
{
    Sim sim(dir, {"--addresses", "1"});
    const pid_t pid = StartTecctl(dir, {"--port", sim.device, "scan"});
    ASSERT_TRUE(WaitFor([&] { return sim.requests().size() >= 5; }, 10.0));
    ::kill(pid, SIGINT);
    const auto asked = sim.requests().size();
    const Result r = Finish(dir, pid);
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_LE(sim.requests().size(), asked + 1) << "at most the address in progress";
    EXPECT_EQ(r.out, "address 1: model 0xF1 (VEXAMAX), identity 0x23\n");
    EXPECT_NE(r.err.find("stopped by a signal after address"), std::string::npos) << r.err;
}

} // namespace

namespace {

std::string ReadAt(int address, int reg, int count)
{
    const comlink::ModbusFrame f = comlink::ReadFrame(static_cast<std::uint8_t>(address),
                                                      static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(count));
    return Hex(f.b, 8);
}

} // namespace

// Three controllers on one line, the second silent: each address is asked
// only for itself, the silent one is said on standard error, the others'
// output and log go on, and the silent one is only probed now and then.
TEST_F(TecctlTest, SeveralAddressesOnOneLineWithOneSilent)
{
    Sim sim(dir, {"--addresses", "1-3", "--fault", "2:silent", "--set", "1:0x0000=100", "--set", "3:0x0000=300"});
    ASSERT_FALSE(sim.device.empty());
    Result r = tecctl(sim, {"--address", "1,2,3", "--name", "3=stage-A", "identify"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "  1           model code 0xF1 (VEXAMAX)\n  1           identity 35\n"
                     "  3  stage-A  model code 0xF1 (VEXAMAX)\n  3  stage-A  identity 35\n");
    EXPECT_EQ(r.err, "tecctl identify: no answer from address 2 on " + sim.device + "\n");
    EXPECT_EQ(sim.requests(),
              (std::vector<std::string>{ReadAt(1, 0x1F00, 1), ReadAt(2, 0x1F00, 1), ReadAt(3, 0x1F00, 1)}));

    r = tecctl(sim, {"--address", "1-3", "watch", "--count", "10", "--interval", "0", "--log", "rack.dat"});
    ASSERT_EQ(r.status, 0) << r.err;
    // 1 and 3 are read every tick; 2, silent since the start, is probed now
    // and then with one SV read, far less than once a tick.
    std::vector<std::string> expected = {ReadAt(1, 0x1F00, 1), ReadAt(1, 0x2A, 1), ReadAt(3, 0x1F00, 1),
                                         ReadAt(3, 0x2A, 1)};
    for (int tick = 1; tick <= 10; ++tick)
        for (const std::string& f : {ReadAt(1, 0x1001, 1), ReadAt(1, 0x1000, 1), ReadAt(3, 0x1001, 1), ReadAt(3, 0x1000, 1)})
            expected.push_back(f);
    const std::vector<std::string> sent = sim.requests();
    std::vector<std::string> others, toTwo;
    for (auto f = sent.begin() + 3; f != sent.end(); ++f)
        (f->compare(0, 2, "02") == 0 ? toTwo : others).push_back(*f);
    EXPECT_EQ(others, expected);
    ASSERT_GE(toTwo.size(), 2u);
    EXPECT_LE(toTwo.size(), 5u);
    EXPECT_EQ(toTwo[0], ReadAt(2, 0x1F00, 1));
    for (std::size_t k = 1; k < toTwo.size(); ++k)
        EXPECT_EQ(toTwo[k], ReadAt(2, 0x1001, 1)) << k;
    EXPECT_NE(r.err.find("tecctl watch: no answer from address 2 on " + sim.device + "; asked again now and then"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("tecctl watch: no answer from address 2 at tick 1\n"), std::string::npos) << r.err;
    const std::string log = ReadAll(dir + "/rack.dat");
    std::istringstream lines(log);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "  Date,       Time,     SV [1], PV [1], SV [2], PV [2], SV [3], PV [3]");
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_NE(line.find(",  10.0, "), std::string::npos) << line;
        EXPECT_NE(line.find(",,,  30.0, "), std::string::npos) << line;  // address 2: two empty fields
    }
    EXPECT_EQ(n, 10);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 2 * 10);

    // Nobody answering is a silence.
    ::mkdir((dir + "/q").c_str(), 0700);
    Sim quiet(dir + "/q", {"--addresses", "4,5", "--fault", "silent"});
    r = Tecctl(dir, {"--port", quiet.device, "--json", "--address", "4,5", "get", "sv"});
    EXPECT_EQ(r.status, 4);
    const Json j(r.out);
    ASSERT_TRUE(j.valid) << r.out;
    EXPECT_EQ(j.values.at("controllers.[1].address"), "5");
    EXPECT_EQ(j.values.at("error"), "no controller answered");
}
