// The simulated plant under each control function: responses that a wrong
// model (no lag, no dead time, wrong sign, no alarm action) would fail.
#include "sim_helpers.h"

#include <algorithm>
#include <cmath>

namespace {

// Runs `seconds` in steps of `step`, returning the lowest and highest PV seen.
std::pair<double, double> Watch(SimBench& s, double seconds, double step = 1.0)
{
    double lo = 1e9, hi = -1e9;
    for (double t = 0; t < seconds; t += step) {
        s.run(step);
        lo = std::min(lo, s.pv());
        hi = std::max(hi, s.pv());
    }
    return {lo, hi};
}

} // namespace

TEST(SimPlant, PidSettlesNearTheSetValueHeatingAndCooling)
{
    for (int sv : {500, 1000, 0, -100}) {
        SimBench s;
        s.write(0x0000, sv);
        s.write(0x0002, 4);
        s.run(600);
        const auto [lo, hi] = Watch(s, 120);
        EXPECT_GT(lo, sv / 10.0 - 0.5) << "SV " << sv / 10.0;
        EXPECT_LT(hi, sv / 10.0 + 0.5) << "SV " << sv / 10.0;
        EXPECT_EQ(s.readSigned(0x1001), sv);
    }
}

TEST(SimPlant, PidTakesTimeToGetThere)
{
    SimBench s;
    s.write(0x0000, 800);
    s.write(0x0002, 4);
    s.run(1.0);
    EXPECT_LT(s.pv(), 25.3) << "dead time: nothing moves in the first second";
    s.run(9.0);
    EXPECT_LT(s.pv(), 60.0) << "first-order lag of tens of seconds";
    EXPECT_GT(s.pv(), 27.0);
    EXPECT_GT(s.controller.output(), 0.9) << "full heating far below SV";
    EXPECT_EQ(s.readSigned(0x1002), static_cast<std::int16_t>(std::lround(s.controller.output() * 1000)));
}

TEST(SimPlant, OffDriftsToAmbient)
{
    SimBench s;
    s.controller.setReg(0x1000, 700);
    EXPECT_EQ(s.readSigned(0x1000), 700);
    s.run(60);
    EXPECT_GT(s.pv(), 50.0) << "the heat sink holds the heat for a while";
    s.run(3000);
    EXPECT_NEAR(s.pv(), 25.0, 0.5);
    EXPECT_DOUBLE_EQ(s.controller.output(), 0.0);

    // Manual output at 0 % is no output either.
    SimBench manual;
    manual.write(0x0001, 0);
    manual.write(0x0002, 3);
    manual.controller.setReg(0x1000, -50);
    manual.run(3000);
    EXPECT_NEAR(manual.pv(), 25.0, 0.5);
    EXPECT_EQ(manual.function(), 3);
    EXPECT_DOUBLE_EQ(manual.controller.output(), 0.0);

    sim::Config cold;
    cold.ambient = 18.0;
    SimBench c(cold);
    EXPECT_NEAR(c.pv(), 18.0, 0.11);
}

TEST(SimPlant, ManualOutputHeatsFasterThanItCools)
{
    SimBench heat, cool;
    heat.write(0x0001, 500);  // +50.0 %
    heat.write(0x0002, 3);
    cool.write(0x0001, -500);
    cool.write(0x0002, 3);
    heat.run(400);
    cool.run(400);
    const double rise = heat.pv() - 25.0, drop = 25.0 - cool.pv();
    EXPECT_GT(rise, 40.0);
    EXPECT_GT(drop, 15.0);
    EXPECT_GT(rise, 1.5 * drop);
    // Beyond 100 % the output is held at full.
    SimBench full;
    full.write(0x0001, 3000);
    full.write(0x0002, 3);
    full.run(5);
    EXPECT_DOUBLE_EQ(full.controller.output(), 1.0);
}

TEST(SimPlant, ReversedDirectionSwapsHeatingAndCooling)
{
    SimBench manual;
    manual.write(0x002B, 1);
    manual.write(0x0001, 500);
    manual.write(0x0002, 3);
    manual.run(300);
    EXPECT_LT(manual.pv(), 10.0) << "heating output cools with reversed wiring";

    SimBench pid;
    pid.write(0x002B, 1);
    pid.write(0x0000, 600);
    pid.write(0x0002, 4);
    pid.run(600);
    EXPECT_LT(pid.pv(), 0.0) << "control to 60.0 runs away the wrong way";
}

TEST(SimPlant, SoftwareFilterSmoothsAndSlowsPv)
{
    SimBench raw, smooth;
    smooth.write(0x0032, 50);  // 5.0
    for (SimBench* s : {&raw, &smooth}) {
        s->write(0x0001, 1000);
        s->write(0x0002, 3);
        s->run(10);
    }
    EXPECT_LT(smooth.pv(), raw.pv() - 5.0);

    // Noise: over a minute at rest the unfiltered PV moves, the filtered one less.
    sim::Config noisy;
    noisy.noise = 1.0;
    SimBench a(noisy), b(noisy);
    b.write(0x0032, 99);
    const auto ra = Watch(a, 60, 0.5), rb = Watch(b, 60, 0.5);
    EXPECT_GT(ra.second - ra.first, 1.0);
    EXPECT_LT(rb.second - rb.first, 0.6 * (ra.second - ra.first));
}

TEST(SimPlant, NoiseIsRepeatableForASeed)
{
    sim::Config c;
    c.noise = 0.5;
    c.seed = 42;
    SimBench a(c), b(c);
    c.seed = 43;
    SimBench other(c);
    bool differs = false;
    for (int i = 0; i < 20; ++i) {
        a.run(0.5);
        b.run(0.5);
        other.run(0.5);
        EXPECT_EQ(a.read(0x1000), b.read(0x1000));
        differs = differs || a.read(0x1000) != other.read(0x1000);
    }
    EXPECT_TRUE(differs);
}

TEST(SimPlant, SpeedScalesPlantTime)
{
    sim::Config fast;
    fast.speed = 10.0;
    SimBench f(fast), n;
    for (SimBench* s : {&f, &n}) {
        s->write(0x0001, 1000);
        s->write(0x0002, 3);
    }
    f.run(6);
    n.run(60);
    EXPECT_DOUBLE_EQ(f.controller.plantTime(), n.controller.plantTime());
    EXPECT_NEAR(f.pv(), n.pv(), 0.25);
}

TEST(SimPlant, DecimalPointAndUnitChangeWhatTheRegistersMean)
{
    SimBench s;
    s.write(0x002A, 30);
    EXPECT_EQ(s.readSigned(0x1000), 25) << "PV now in whole degrees";
    EXPECT_EQ(s.readSigned(0x0000), 250) << "stored parameters keep their raw numbers";
    // The control now works in whole degrees: a raw 50 is 50 degrees.
    s.write(0x0000, 50);
    s.write(0x0002, 4);
    s.run(600);
    EXPECT_NEAR(s.readSigned(0x1000), 50, 1);

    SimBench f;
    f.write(0x0029, 1);
    EXPECT_EQ(f.readSigned(0x1000), 770) << "25.0 C is 77.0 F";
    // Temperatures are re-entered in the new unit: the same span, -4.0..302.0 F.
    f.write(0x002C, -40);
    f.write(0x002D, 3020);
    f.write(0x0000, 1220);  // 122.0 F = 50.0 C
    f.write(0x0002, 4);
    f.run(600);
    EXPECT_NEAR(f.readSigned(0x1000), 1220, 8);
    EXPECT_NEAR(f.controller.processValue(), 122.0, 0.8);
}

TEST(SimAlarm, StatusBitsFollowPvAgainstTheLimits)
{
    SimBench s;
    EXPECT_EQ(s.read(0x1003), 0);
    s.controller.setReg(0x1000, 850);
    EXPECT_EQ(s.read(0x1003) & 0x0F, 1);
    s.controller.setReg(0x1000, 50);
    EXPECT_EQ(s.read(0x1003) & 0x0F, 2);
    s.controller.setReg(0x1000, 800);
    EXPECT_EQ(s.read(0x1003) & 0x0F, 0) << "PV equal to the limit is no alarm";
    s.write(0x001A, 700);
    EXPECT_EQ(s.read(0x1003) & 0x0F, 1) << "a lowered limit shows at once";
}

TEST(SimAlarm, SwitchOnCutsTheOutputSwitchOffDoesNot)
{
    SimBench on, off;
    on.write(0x001C, 8);
    for (SimBench* s : {&on, &off}) {
        s->write(0x0000, 1000);
        s->write(0x0002, 4);
    }
    double peak = 0;
    for (int i = 0; i < 600; ++i) {
        on.run(1);
        peak = std::max(peak, on.pv());
    }
    EXPECT_EQ(on.function(), 0);
    EXPECT_GT(peak, 80.0);
    EXPECT_LT(peak, 86.0) << "the output stops as PV crosses the high alarm";
    EXPECT_LT(on.pv(), 80.0);
    EXPECT_DOUBLE_EQ(on.controller.output(), 0.0);

    off.run(600);
    EXPECT_EQ(off.function(), 4);
    EXPECT_NEAR(off.pv(), 100.0, 0.5);
    EXPECT_EQ(off.read(0x1003) & 0x0F, 1) << "the alarm bit shows while the amplifier runs on";
}

TEST(SimAutoTune, EndsInPidWithNewTermsOfTheActiveSet)
{
    SimBench s;
    const std::vector<std::uint16_t> set1{s.read(0x0003), s.read(0x0004), s.read(0x0005)};
    const std::vector<std::uint16_t> set2{s.read(0x0009), s.read(0x000A), s.read(0x000B)};
    s.write(0x0000, 500);  // 50.0: set 2 (boundaries 20, 60, 100)
    s.write(0x0002, 1);
    s.run(120);
    EXPECT_EQ(s.function(), 1) << "a relay experiment takes minutes";
    double tuned = -1;
    for (int t = 120; t < 1800; t += 5) {
        s.run(5);
        if (s.function() != 1) {
            tuned = t;
            break;
        }
    }
    ASSERT_GT(tuned, 0) << "auto-tune never ended";
    EXPECT_EQ(s.function(), 4);
    const std::vector<std::uint16_t> now2{s.read(0x0009), s.read(0x000A), s.read(0x000B)};
    EXPECT_NE(now2, set2);
    EXPECT_EQ((std::vector<std::uint16_t>{s.read(0x0003), s.read(0x0004), s.read(0x0005)}), set1);
    EXPECT_GT(static_cast<std::int16_t>(now2[0]), 0);
    EXPECT_GT(static_cast<std::int16_t>(now2[1]), 0);
    // The tuned terms hold the set value.
    s.run(600);
    const auto [lo, hi] = Watch(s, 120);
    EXPECT_GT(lo, 49.5);
    EXPECT_LT(hi, 50.5);
}

TEST(SimAutoTune, GivesUpWhenThePlantDoesNotOscillate)
{
    SimBench s;
    s.write(0x002B, 1);  // reversed: the relay drives PV away for ever
    s.write(0x0000, 500);
    const std::uint16_t before = s.read(0x0009);
    s.write(0x0002, 1);
    s.run(1700);
    EXPECT_EQ(s.function(), 1);
    s.run(200);
    EXPECT_EQ(s.function(), 0);
    EXPECT_EQ(s.read(0x0009), before);
}

// Each set gets its own output limit (term 4), so the output at saturation
// names the set in force.
TEST(SimPlant, PidSetFollowsTheSetValueAgainstTheThreeBoundaries)
{
    auto limitFor = [](int sv, int boundary1 = 200) {
        SimBench s;
        s.write(0x0006, 100);  // set 1: 10 %
        s.write(0x000C, 200);  // set 2: 20 %
        s.write(0x0012, 300);  // set 3: 30 %
        s.write(0x0018, 400);  // set 4: 40 %
        s.write(0x0008, boundary1);
        s.write(0x0000, sv);
        s.write(0x0002, 4);
        s.run(0.5);
        return std::fabs(s.controller.output());
    };
    // Factory boundaries 20.0, 60.0, 100.0; a set reaches up to its boundary.
    const std::pair<int, double> cases[] = {{-200, 0.1}, {200, 0.1}, {201, 0.2}, {600, 0.2},
                                            {601, 0.3}, {1000, 0.3}, {1001, 0.4}, {1500, 0.4}};
    for (const auto& [sv, limit] : cases)
        EXPECT_NEAR(limitFor(sv), limit, 1e-9) << "SV " << sv / 10.0;
    // A raised first boundary takes 28.0 into set 1.
    EXPECT_NEAR(limitFor(280), 0.2, 1e-9);
    EXPECT_NEAR(limitFor(280, 300), 0.1, 1e-9);

    // While a program runs, its own set value picks the set, not register 0x0000.
    SimBench run;
    run.write(0x000C, 200);
    run.write(0x0018, 400);
    run.write(0x0037, 0);
    run.write(0x0038, 1200);  // step 1 straight to 120.0
    run.write(0x0039, 600);
    run.write(0x003A, 52);
    run.write(0x0036, 0);
    run.write(0x0002, 5);
    run.run(1.0);
    EXPECT_NEAR(run.controller.output(), 0.4, 1e-9);
    EXPECT_EQ(run.readSigned(0x1001), 1200);
}
