// Talking to an in-process simulated controller on a virtual clock.
#pragma once

#include "io/clock.h"
#include "protocol/modbus.h"
#include "sim/controller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

struct SimBench {
    explicit SimBench(const sim::Config& config = {}) : controller(clock, config) {}

    io::VirtualClock clock;
    sim::Controller controller;
    double readyAt = 0;

    std::vector<std::uint8_t> send(const comlink::ModbusFrame& f) { return controller.handleRequest(f.b, 8, &readyAt); }
    std::vector<std::uint8_t> send(std::vector<std::uint8_t> bytes)
    {
        return controller.handleRequest(bytes.data(), static_cast<int>(bytes.size()), &readyAt);
    }
    // Reads one register over the wire; fails the test on a bad answer.
    std::uint16_t read(std::uint16_t reg)
    {
        const auto a = send(comlink::ReadFrame(1, reg, 1));
        EXPECT_TRUE(comlink::AnswerIsGood(a.data(), static_cast<int>(a.size()), 8)) << "register " << reg;
        return a.size() == 8 ? comlink::RegisterValue(a.data(), 0) : 0xDEAD;
    }
    std::int16_t readSigned(std::uint16_t reg) { return static_cast<std::int16_t>(read(reg)); }
    // Writes one register over the wire; fails the test unless echoed.
    void write(std::uint16_t reg, std::int32_t value)
    {
        const comlink::ModbusFrame f = comlink::WriteFrame(1, reg, static_cast<std::uint16_t>(value));
        const auto a = send(f);
        EXPECT_EQ(a, std::vector<std::uint8_t>(f.b, f.b + 8)) << "write of register " << reg;
    }
    // Lets the given seconds pass and brings the controller up to date.
    void run(double seconds)
    {
        clock.advance(seconds);
        controller.advanceTo(clock.now());
    }
    double pv() { return readSigned(0x1000) / 10.0; }
    int function() { return read(0x0002) & 0xFF; }
};
