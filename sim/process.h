// What the controller does between requests: the thermal plant (a TE stage on
// a heat sink), the sensor with its noise and software filter, the control
// functions (off, auto-tune, manual output, PID, step program) and the alarms.
// It works on the register file: parameters are read from it in the scale and
// unit in force, and the live registers 0x1000..0x1003 are written back.
#pragma once

#include "sim/register_file.h"

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace sim {

struct Config;

// Plant constants, in seconds and degrees C.
struct PlantConstants {
    static constexpr double STEP = 0.1;          // integration step of plant time
    static constexpr double STAGE_TAU = 30.0;    // stage time constant
    static constexpr double SINK_TAU = 300.0;    // heat sink time constant
    static constexpr double HEAT_GAIN = 110.0;   // stage rise over the sink at full heating
    static constexpr double COOL_GAIN = 50.0;    // stage drop below the sink at full cooling
    static constexpr double SINK_GAIN = 6.0;     // sink rise over ambient at full output either way
    static constexpr double DEAD_TIME = 2.0;     // from output to stage
    static constexpr double TUNE_HYSTERESIS = 0.3;
    static constexpr double TUNE_MIN_TIME = 180.0;
    static constexpr double TUNE_MAX_TIME = 1800.0;
    static constexpr int TUNE_CYCLES = 5;        // complete relay cycles before the result is taken
    static constexpr int TUNE_CYCLES_USED = 3;   // the last cycles measured
};

class Process {
public:
    Process(RegisterFile& regs, const Config& config);

    // Advances the plant and the control by one STEP of plant time.
    void step();
    // Reacts to a register having been written (old value given).
    void onWrite(std::uint16_t address, std::uint16_t oldValue);
    // Moves the stage and heat sink to a temperature given as a raw register
    // value in the scale and unit in force.
    void forceTemperature(std::int16_t raw);
    // Writes PV, SV in use, output and status into 0x1000..0x1003.
    void refreshLive();

    // Measured PV in the unit in force (degrees, not scaled).
    double processValue() const;
    double output() const { return m_output; }
    double time() const { return m_time; }

    // Unit helpers: raw register values in the scale and unit in force.
    double scale() const;
    bool fahrenheit() const;
    double toCelsius(std::int16_t raw) const;
    double diffToCelsius(std::int16_t raw) const;
    std::int16_t rawFromCelsius(double c) const;

private:
    struct PidTerms {
        double bandPercent = 0;   // proportional band, % of the span
        double integral = 0;      // integral time, s (0: none)
        double derivative = 0;    // derivative time, s
        double limit = 1;         // output limit, fraction of full output
        double iBandPercent = 0;  // integral band, % of the proportional band (0: everywhere)
    };
    struct Tune {
        double start = 0;
        bool heating = true;
        bool haveBoundary = false;
        double lastBoundary = 0;
        double cycleMax = 0, cycleMin = 0;
        std::vector<double> periods, amplitudes;
    };
    struct Run {
        bool active = false;
        int step = 1;           // 1..8
        bool soaking = false;
        double from = 0;        // SV at the start of the ramp, C
        double elapsed = 0;     // ramp time so far, or soak time counted so far
        double sv = 0;          // program SV in force, C
        std::array<int, 9> loopsDone{};
    };

    int function() const;
    void setFunction(int f);
    void enterFunction(int f, int old);
    int activeSet(double svC) const;
    PidTerms terms(int set) const;
    double span() const;
    double pid(double svC, double h);
    double tune(double svC, double h);
    void finishTune(double svC);
    void startRun();
    void runStep(double h);
    void enterStep(int k, double from);
    void finishStep();
    void endRun();
    int alarmBits() const;
    bool alarmSwitchOn() const;

    RegisterFile& m_regs;
    const Config& m_config;
    std::mt19937 m_rng;
    double m_time = 0;
    double m_stage, m_sink, m_pv;
    std::vector<double> m_delay;
    std::size_t m_delayAt = 0;
    double m_output = 0;
    double m_integral = 0;
    double m_lastPv;
    double m_dPv = 0;
    Tune m_tune;
    Run m_run;
};

} // namespace sim
