// tecctl's commands against the golden frames: each command of frames.txt
// runs through tecctl's own Prepare and RunCommand on a bare Bus, the
// simulated controller behind a tap that answers with the file's answers,
// and what went out (flushes, delays, requests) must be the file's, token by
// token. With TEC_GOLDEN_WRITE=1 the simulator answers instead and the files
// are written afresh.
#include "io/clock.h"
#include "io/port_table.h"
#include "link/transact.h"
#include "protocol/registers.h"
#include "sim/controller.h"
#include "support/hex.h"
#include "support/line_double.h"
#include "tecctl/commands.h"
#include "tecctl/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const std::string kDir = GOLDEN_DIR;

bool Writing()
{
    const char* w = std::getenv("TEC_GOLDEN_WRITE");
    return w && std::string(w) == "1";
}

std::string Seconds(double s)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", s);
    return b;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One operation of the file.
struct GoldenOp {
    std::string command;                          // tecctl's arguments after the options
    std::vector<std::pair<int, int>> setup;       // registers set in the simulator first
    std::vector<std::pair<std::string, std::string>> inputs;   // files the command reads
    std::vector<std::pair<std::string, std::string>> outputs;  // files the command writes
    std::vector<std::string> tokens;              // preamble/pause/>/wait/<
};

std::vector<std::string> Words(const std::string& s)
{
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;)
        w.push_back(x);
    return w;
}

std::vector<GoldenOp> Parse(const std::string& text)
{
    std::vector<GoldenOp> ops;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string rest = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "op") {
            ops.push_back({});
            ops.back().command = rest;
            continue;
        }
        EXPECT_FALSE(ops.empty()) << line;
        if (ops.empty())
            continue;
        GoldenOp& op = ops.back();
        if (key == "setup") {
            const std::size_t eq = rest.find('=');
            op.setup.push_back({std::stoi(rest.substr(0, eq), nullptr, 0), std::stoi(rest.substr(eq + 1), nullptr, 0)});
        } else if (key == "file" || key == "saves") {
            const std::size_t sp2 = rest.find(' ');
            (key == "file" ? op.inputs : op.outputs).push_back({rest.substr(0, sp2), rest.substr(sp2 + 1)});
        } else {
            op.tokens.push_back(line);
        }
    }
    return ops;
}

// The wire seen as tokens: what the tap reports, in order.
struct Tokenizer {
    explicit Tokenizer(io::Clock& c) : clock(c) {}
    io::Clock& clock;
    std::vector<std::string> tokens;
    double lastEnd = 0, lastWrite = 0, preambleStart = 0;
    bool inPreamble = false, afterWrite = false;

    void gap(double at)
    {
        if (at - lastEnd > 1e-9)
            tokens.push_back("pause " + Seconds(at - lastEnd));
    }
    void event(const LineDouble::Event& e)
    {
        switch (e.kind) {
        case LineDouble::Event::FlushOut:
            if (!inPreamble)
                gap(e.at);
            inPreamble = true;
            preambleStart = e.at;
            break;
        case LineDouble::Event::FlushIn:
            break;
        case LineDouble::Event::Write:
            if (inPreamble)
                tokens.push_back("preamble " + Seconds(e.at - preambleStart));
            else
                gap(e.at);
            inPreamble = false;
            tokens.push_back("> " + Hex(e.bytes));
            lastWrite = e.at;
            afterWrite = true;
            break;
        case LineDouble::Event::Read: {
            const std::string bytes = pending.empty() ? "" : " " + Hex(pending);
            if (afterWrite) {
                tokens.push_back("wait " + Seconds(e.at - lastWrite));
                tokens.push_back("<" + bytes);
            } else if (!tokens.empty() && tokens.back().rfind("<", 0) == 0) {
                tokens.back() += bytes;  // the rest of the same answer
            }
            pending.clear();
            afterWrite = false;
            lastEnd = clock.now();
            break;
        }
        }
    }
    // The bytes a read returned, seen before its event.
    std::vector<std::uint8_t> pending;
};

struct CommandRun {
    std::vector<std::string> tokens;
    std::vector<std::pair<std::string, std::string>> outputs;
    int status = 0;
};

// Runs one tecctl command line as tecctl's main does after opening the port:
// identification (every command but raw), then the command.
CommandRun RunGolden(const GoldenOp& g, const fs::path& dir)
{
    io::VirtualClock clock;
    io::PortTable ports;
    comlink::Bus bus(ports, clock);
    LineDouble wire(clock);
    sim::Config config;
    auto controller = std::make_shared<sim::Controller>(clock, config);
    // tecctl --simulate's first look: 40.0 degrees under PID control.
    controller->setReg(tecreg::kSetValue, 400);
    controller->setReg(tecreg::kCtrlFunc, 4);
    for (const auto& [reg, value] : g.setup)
        controller->setReg(static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(value));
    wire.inner = [&] { return sim::MakeSimDevice(controller, clock); };

    Tokenizer tok(clock);
    wire.onEvent = [&](const LineDouble::Event& e) { tok.event(e); };
    // Replaying: the file's answers, in order, in place of the simulator's.
    std::vector<std::vector<std::uint8_t>> answers;
    for (const std::string& t : g.tokens)
        if (t.rfind("<", 0) == 0)
            answers.push_back(Bytes(t.size() > 2 ? t.substr(2) : ""));
    std::size_t next = 0;
    if (!Writing())
        wire.substitute = [&](const std::uint8_t*, int, std::vector<std::uint8_t>* a) {
            *a = next < answers.size() ? answers[next] : std::vector<std::uint8_t>{};
            ++next;
            return true;
        };
    wire.rewrite = [&](const std::vector<std::uint8_t>&, std::uint8_t* bytes, int count) {
        tok.pending.insert(tok.pending.end(), bytes, bytes + count);
    };

    EXPECT_EQ(ports.open(1, wire.factory()(), 19200), 0);
    ports.setTimeout(1, comlink::kReadTimeout);
    bus.comPort = 1;
    bus.baudRate = 19200;
    bus.portOpen = 1;

    // File names in the command become paths in the scratch folder.
    std::vector<std::string> args;
    for (const std::string& w : Words(g.command)) {
        bool isFile = false;
        for (const auto& f : g.inputs)
            isFile = isFile || f.first == w;
        for (const auto& f : g.outputs)
            isFile = isFile || f.first == w;
        args.push_back(isFile ? (dir / w).string() : w);
    }
    for (const auto& [name, content] : g.inputs)
        std::ofstream(dir / name, std::ios::binary) << content;

    tecctl::Options o;
    std::string error;
    CommandRun run;
    if (!tecctl::ParseOptions(args, &o, &error)) {
        ADD_FAILURE() << g.command << ": " << error;
        return run;
    }
    tecctl::Session s(bus, 1, o);
    run.status = tecctl::Prepare(s);
    EXPECT_EQ(run.status, tecctl::EXIT_OK) << g.command << ": " << s.error;
    if (run.status != tecctl::EXIT_OK)
        return run;
    if (o.command != "raw") {
        const comlink::Identity id = comlink::Identify(bus, 1);
        EXPECT_EQ(id.status, comlink::IdentifyStatus::Accepted) << g.command;
        s.model = id.model;
        s.identLo = id.identLo;
    }
    run.status = tecctl::RunCommand(s);
    ports.closeAll();
    run.tokens = tok.tokens;
    for (const auto& [name, content] : g.outputs)
        run.outputs.push_back({name, ReadFile((dir / name).string())});
    return run;
}

class Golden : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("tec-golden-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(Golden, TecctlSendsExactlyTheGoldenFrames)
{
    const std::string path = kDir + "/frames.txt";
    const std::string text = ReadFile(path);
    std::vector<GoldenOp> ops = Parse(text);
    ASSERT_GE(ops.size(), 20u) << "frames.txt holds too few operations";
    std::ostringstream out;
    if (Writing()) {
        // Everything up to the first operation is the file's heading.
        out << text.substr(0, text.find("\nop ") + 1);
    }
    for (GoldenOp& g : ops) {
        const CommandRun run = RunGolden(g, dir);
        if (Writing()) {
            out << "op " << g.command << "\n";
            for (const auto& [reg, value] : g.setup) {
                char b[32];
                std::snprintf(b, sizeof b, "0x%04X=%d", reg, value);
                out << "setup " << b << "\n";
            }
            for (const auto& [name, content] : g.inputs)
                out << "file " << name << " " << content << "\n";
            for (const auto& [name, content] : run.outputs)
                out << "saves " << name << " " << content << "\n";
            for (const std::string& t : run.tokens)
                out << t << "\n";
            continue;
        }
        EXPECT_EQ(run.tokens, g.tokens) << "tecctl " << g.command << " no longer sends the golden frames";
        for (std::size_t k = 0; k < g.outputs.size() && k < run.outputs.size(); ++k)
            EXPECT_EQ(run.outputs[k].second, g.outputs[k].second) << "tecctl " << g.command << " wrote another file";
    }
    if (Writing())
        std::ofstream(path, std::ios::binary) << out.str();
}

TEST(GoldenRegisters, TheMapIsTheOneTheFileRecords)
{
    std::ostringstream out;
    out << "# name register class unit: the parameters scripts name, in read-all order\n";
    for (const tecreg::NamedParameter& p : tecreg::NamedParameters()) {
        const char* cls = p.cls == tecreg::EncClass::T ? "T" : p.cls == tecreg::EncClass::D ? "D"
                        : p.cls == tecreg::EncClass::I ? "I" : "B";
        char reg[8];
        std::snprintf(reg, sizeof reg, "0x%04X", p.reg);
        out << p.name << " " << reg << " " << cls << " " << (p.unit[0] ? p.unit : "-") << "\n";
    }
    const std::string path = kDir + "/registers.txt";
    if (Writing())
        std::ofstream(path, std::ios::binary) << out.str();
    EXPECT_EQ(ReadFile(path), out.str());
}

} // namespace
