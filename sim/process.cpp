#include "sim/process.h"
#include "sim/controller.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {

namespace {

constexpr double PI = 3.14159265358979323846;
using K = PlantConstants;

double Clamp(double v, double lo, double hi)
{
    return std::min(std::max(v, lo), hi);
}

} // namespace

Process::Process(RegisterFile& regs, const Config& config)
    : m_regs(regs), m_config(config), m_rng(config.seed), m_stage(config.ambient), m_sink(config.ambient),
      m_pv(config.ambient), m_delay(static_cast<std::size_t>(std::lround(K::DEAD_TIME / K::STEP)), 0.0),
      m_lastPv(config.ambient)
{
    refreshLive();
}

double Process::scale() const
{
    return m_regs.byteAt(reg::DECIMAL_PNT) == 30 ? 1.0 : 10.0;
}

bool Process::fahrenheit() const
{
    return m_regs.byteAt(reg::UNIT) == 1;
}

double Process::toCelsius(std::int16_t raw) const
{
    const double v = raw / scale();
    return fahrenheit() ? (v - 32.0) * 5.0 / 9.0 : v;
}

double Process::diffToCelsius(std::int16_t raw) const
{
    const double v = raw / scale();
    return fahrenheit() ? v * 5.0 / 9.0 : v;
}

std::int16_t Process::rawFromCelsius(double c) const
{
    const double v = fahrenheit() ? c * 9.0 / 5.0 + 32.0 : c;
    return static_cast<std::int16_t>(Clamp(std::round(v * scale()), -32768.0, 32767.0));
}

double Process::processValue() const
{
    return fahrenheit() ? m_pv * 9.0 / 5.0 + 32.0 : m_pv;
}

int Process::function() const
{
    return m_regs.byteAt(reg::CTRL_FUNC);
}

void Process::setFunction(int f)
{
    const int old = function();
    m_regs.set(reg::CTRL_FUNC, static_cast<std::uint16_t>(f));
    enterFunction(f, old);
}

// Starting a function resets its state; writing the function already in force
// changes nothing, so a repeated start does not restart a run or a tune.
void Process::enterFunction(int f, int old)
{
    if (f == old)
        return;
    if (old == FN_PROGRAM)
        m_run.active = false;
    if (f == FN_AUTOTUNE) {
        m_tune = Tune{};
        m_tune.start = m_time;
        m_tune.heating = m_pv < toCelsius(m_regs.signedAt(reg::SV));
        m_tune.cycleMax = -std::numeric_limits<double>::infinity();
        m_tune.cycleMin = std::numeric_limits<double>::infinity();
    } else if (f == FN_PROGRAM) {
        startRun();
    } else if (f == FN_PID && old == FN_MANUAL) {
        m_integral = m_output;  // bumpless from manual
    } else if (f != FN_PID) {
        m_integral = 0;
    }
}

void Process::onWrite(std::uint16_t address, std::uint16_t oldValue)
{
    if (address == reg::CTRL_FUNC)
        enterFunction(function(), oldValue & 0xFF);
}

void Process::forceTemperature(std::int16_t raw)
{
    const double c = toCelsius(raw);
    m_stage = m_sink = m_pv = m_lastPv = c;
    m_dPv = 0;
}

double Process::span() const
{
    const double s = toCelsius(m_regs.signedAt(reg::RANGE_HIGH)) - toCelsius(m_regs.signedAt(reg::RANGE_LOW));
    return s > 0 ? s : 1.0;
}

// The set in force: set 1 up to boundary 1, set 2 up to boundary 2, set 3 up
// to boundary 3, set 4 above.
int Process::activeSet(double svC) const
{
    for (int n = 0; n < 3; ++n) {
        if (svC <= toCelsius(m_regs.signedAt(static_cast<std::uint16_t>(reg::PID_BASE + 6 * n + 5))))
            return n;
    }
    return 3;
}

Process::PidTerms Process::terms(int set) const
{
    const std::uint16_t base = static_cast<std::uint16_t>(reg::PID_BASE + 6 * set);
    PidTerms t;
    t.bandPercent = m_regs.signedAt(base) / 10.0;
    t.integral = m_regs.signedAt(base + 1);
    t.derivative = m_regs.signedAt(base + 2);
    const double limit = m_regs.signedAt(base + 3) / 10.0;
    t.limit = (limit <= 0 || limit > 100) ? 1.0 : limit / 100.0;
    t.iBandPercent = m_regs.signedAt(base + 4) / 10.0;
    return t;
}

double Process::pid(double svC, double h)
{
    const PidTerms t = terms(activeSet(svC));
    const double e = svC - m_pv;
    const double band = span() * t.bandPercent / 100.0;
    if (band <= 0) {  // no proportional band: on/off control
        m_integral = 0;
        return e > 0 ? t.limit : (e < 0 ? -t.limit : 0.0);
    }
    const double kp = 1.0 / band;
    const double p = kp * e;
    const double d = t.derivative > 0 ? -kp * t.derivative * m_dPv : 0.0;
    if (t.integral <= 0) {
        m_integral = 0;
    } else {
        const double iBand = band * t.iBandPercent / 100.0;
        const bool inBand = iBand <= 0 || std::fabs(e) <= iBand;
        const double unclamped = p + m_integral + d;
        const bool windingUp = (unclamped >= t.limit && e > 0) || (unclamped <= -t.limit && e < 0);
        if (inBand && !windingUp)
            m_integral += kp * e * h / t.integral;
    }
    m_integral = Clamp(m_integral, -t.limit, t.limit);
    return Clamp(p + m_integral + d, -t.limit, t.limit);
}

// Relay experiment: full output one way until PV passes SV plus the
// hysteresis, then the other way; a cycle ends each time the relay turns to
// heating. The ultimate gain and period of the last cycles give the terms.
double Process::tune(double svC, double h)
{
    const PidTerms t = terms(activeSet(svC));
    m_tune.cycleMax = std::max(m_tune.cycleMax, m_pv);
    m_tune.cycleMin = std::min(m_tune.cycleMin, m_pv);
    if (m_tune.heating && m_pv > svC + K::TUNE_HYSTERESIS) {
        m_tune.heating = false;
    } else if (!m_tune.heating && m_pv < svC - K::TUNE_HYSTERESIS) {
        m_tune.heating = true;
        if (m_tune.haveBoundary) {
            m_tune.periods.push_back(m_time - m_tune.lastBoundary);
            m_tune.amplitudes.push_back((m_tune.cycleMax - m_tune.cycleMin) / 2.0);
        }
        m_tune.haveBoundary = true;
        m_tune.lastBoundary = m_time;
        m_tune.cycleMax = m_tune.cycleMin = m_pv;
    }
    const double elapsed = m_time - m_tune.start;
    if (static_cast<int>(m_tune.periods.size()) >= K::TUNE_CYCLES && elapsed >= K::TUNE_MIN_TIME) {
        finishTune(svC);
        return 0.0;
    }
    if (elapsed >= K::TUNE_MAX_TIME) {  // no oscillation: give up, terms unchanged
        setFunction(FN_OFF);
        return 0.0;
    }
    (void)h;
    return m_tune.heating ? t.limit : -t.limit;
}

// Tyreus-Luyben rules: less overshoot than Ziegler-Nichols on a plant with
// different heating and cooling gains.
void Process::finishTune(double svC)
{
    const int set = activeSet(svC);
    const PidTerms t = terms(set);
    const std::size_t n = m_tune.periods.size();
    double period = 0, amplitude = 0;
    for (std::size_t i = n - K::TUNE_CYCLES_USED; i < n; ++i) {
        period += m_tune.periods[i];
        amplitude += m_tune.amplitudes[i];
    }
    period /= K::TUNE_CYCLES_USED;
    amplitude = std::max(amplitude / K::TUNE_CYCLES_USED, 0.01);
    const double ku = 4.0 * t.limit / (PI * amplitude);
    const double kp = ku / 2.2;
    const double bandPercent = Clamp(100.0 / (kp * span()), 0.1, 3276.7);
    const std::uint16_t base = static_cast<std::uint16_t>(reg::PID_BASE + 6 * set);
    m_regs.set(base, static_cast<std::uint16_t>(std::lround(bandPercent * 10.0)));
    m_regs.set(base + 1, static_cast<std::uint16_t>(std::lround(Clamp(2.2 * period, 1.0, 32767.0))));
    m_regs.set(base + 2, static_cast<std::uint16_t>(std::lround(Clamp(period / 6.3, 0.0, 32767.0))));
    m_integral = 0;
    setFunction(FN_PID);
}

void Process::startRun()
{
    m_run = Run{};
    m_run.active = true;
    enterStep(1, m_pv);
}

void Process::enterStep(int k, double from)
{
    m_run.step = k;
    m_run.soaking = false;
    m_run.from = from;
    m_run.elapsed = 0;
    m_run.sv = from;
}

// Step k: ramp from the SV in force to the step's SV in param1 seconds, then
// soak param2 seconds. With a tolerance band, the soak starts only once PV is
// within SV +/- band and its time counts only while PV stays there.
void Process::runStep(double h)
{
    const std::uint16_t base = static_cast<std::uint16_t>(reg::STEP_BASE + 5 * (m_run.step - 1));
    const double target = toCelsius(m_regs.signedAt(base + 1));
    const double band = std::fabs(diffToCelsius(m_regs.signedAt(reg::TOL_BAND)));
    const bool inBand = band <= 0 || std::fabs(m_pv - target) <= band;
    if (!m_run.soaking) {
        const double ramp = m_regs.get(base);
        m_run.elapsed += h;
        m_run.sv = (ramp > 0 && m_run.elapsed < ramp) ? m_run.from + (target - m_run.from) * (m_run.elapsed / ramp) : target;
        if (m_run.elapsed >= ramp && inBand) {
            m_run.soaking = true;
            m_run.elapsed = 0;
        }
        return;
    }
    m_run.sv = target;
    if (inBand)
        m_run.elapsed += h;
    if (m_run.elapsed >= m_regs.get(base + 2) - 1e-9)
        finishStep();
}

// Loop code 44 + j jumps to step j + 1 while the step's own counter is below
// its loop count (9999: always); when the count is used up the counter is
// cleared, so an enclosing loop runs this one again in full.
void Process::finishStep()
{
    const int k = m_run.step;
    const std::uint16_t base = static_cast<std::uint16_t>(reg::STEP_BASE + 5 * (k - 1));
    const int action = m_regs.byteAt(base + 3);
    const double from = m_run.sv;
    if (action == ACTION_NEXT) {
        if (k < 8)
            enterStep(k + 1, from);
        else
            endRun();
    } else if (action >= ACTION_LOOP_FIRST && action <= ACTION_LOOP_LAST) {
        const int loops = m_regs.get(base + 4);
        if (loops == LOOPS_ENDLESS || m_run.loopsDone[k] < loops) {
            if (loops != LOOPS_ENDLESS)
                ++m_run.loopsDone[k];
            enterStep(action - ACTION_LOOP_FIRST + 1, from);
        } else {
            m_run.loopsDone[k] = 0;
            if (k < 8)
                enterStep(k + 1, from);
            else
                endRun();
        }
    } else {
        endRun();
    }
}

void Process::endRun()
{
    m_run.active = false;
    setFunction(FN_OFF);
}

bool Process::alarmSwitchOn() const
{
    return m_regs.byteAt(reg::ALARM_SW) != 7;
}

int Process::alarmBits() const
{
    int bits = 0;
    if (m_pv > toCelsius(m_regs.signedAt(reg::ALARM_HIGH)))
        bits |= 1;
    if (m_pv < toCelsius(m_regs.signedAt(reg::ALARM_LOW)))
        bits |= 2;
    return bits;
}

void Process::step()
{
    const double h = K::STEP;
    m_time += h;

    // Sensor, software filter (0..9.9: averaging time constant in seconds).
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double reading = m_stage + m_config.noise * noise(m_rng);
    const double filter = Clamp(m_regs.signedAt(reg::SW_FILTER) / 10.0, 0.0, 9.9);
    m_pv = filter > 0 ? m_pv + (reading - m_pv) * h / (filter + h) : reading;
    const double rawSlope = (m_pv - m_lastPv) / h;
    m_dPv += (rawSlope - m_dPv) * h / (1.0 + h);  // derivative filtered over 1 s
    m_lastPv = m_pv;

    // The alarm switch disables the output while an alarm is active.
    if (alarmSwitchOn() && alarmBits() != 0 && function() != FN_OFF)
        setFunction(FN_OFF);

    const double sv = toCelsius(m_regs.signedAt(reg::SV));
    double u = 0;
    switch (function()) {
    case FN_AUTOTUNE:
        u = tune(sv, h);
        break;
    case FN_MANUAL:
        u = Clamp(m_regs.signedAt(reg::OUTPUT_LEVEL) / 1000.0, -1.0, 1.0);
        break;
    case FN_PID:
        u = pid(sv, h);
        break;
    case FN_PROGRAM:
        if (!m_run.active)
            startRun();
        runStep(h);
        u = m_run.active ? pid(m_run.sv, h) : 0.0;
        break;
    default:
        break;
    }
    m_output = u;

    // Reversed wiring swaps heating and cooling; the output reaches the stage
    // after the dead time.
    const double applied = m_regs.byteAt(reg::DIR_REV) != 0 ? -u : u;
    const double delayed = m_delay[m_delayAt];
    m_delay[m_delayAt] = applied;
    m_delayAt = (m_delayAt + 1) % m_delay.size();

    m_sink += (m_config.ambient + K::SINK_GAIN * std::fabs(delayed) - m_sink) * h / K::SINK_TAU;
    const double target = m_sink + (delayed >= 0 ? K::HEAT_GAIN * delayed : K::COOL_GAIN * delayed);
    m_stage += (target - m_stage) * h / K::STAGE_TAU;
}

// While a program runs, the status low byte is the running segment times 15;
// otherwise it carries the alarm bits. Both in one byte would make every
// segment but the first look like an alarm, since 15 sets the four alarm bits.
// With the alarm switch on, an alarm during a run ends the run, so the alarm
// then shows in the low byte as usual.
void Process::refreshLive()
{
    m_regs.set(reg::PV, static_cast<std::uint16_t>(rawFromCelsius(m_pv)));
    const bool running = function() == FN_PROGRAM && m_run.active;
    m_regs.set(reg::SV_IN_USE, running ? static_cast<std::uint16_t>(rawFromCelsius(m_run.sv)) : m_regs.get(reg::SV));
    m_regs.set(reg::OUTPUT_NOW, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(m_output * 1000.0))));
    const int segment = running ? 2 * (m_run.step - 1) + (m_run.soaking ? 1 : 0) : 0;
    const int low = running ? segment * 15 : alarmBits();
    m_regs.set(reg::STATUS, static_cast<std::uint16_t>((running ? FN_PROGRAM : 0) << 8 | low));
}

} // namespace sim
