// The debug panel: one raw request composed byte by byte, its answer shown
// byte by byte, and the converters between a temperature and its register value.
#include "app/app.h"
#include "app/help_texts.h"
#include "app/shell.h"
#include "link/transact.h"

#include <cstdint>

namespace {

int IntVal(App& app, int control)
{
    int v = 0;
    app.rt.GetCtrlVal(app.panels.debug, control, &v);
    return v;
}

std::uint8_t ByteVal(App& app, int control)
{
    return static_cast<std::uint8_t>(IntVal(app, control) & 0xFF);
}

void SetByte(App& app, int control, int value)
{
    app.rt.SetCtrlVal(app.panels.debug, control, value & 0xFF);
}

void Dim(App& app, int control, int dimmed)
{
    app.rt.SetCtrlAttribute(app.panels.debug, control, rt::ATTR_DIMMED, dimmed);
}

// Digits the temperature field shows: the decimal places of the decimal-point
// code once it is known; before that the factor alone decides.
int DebugPrecision(const ParameterSet& ps)
{
    if (ps.decimalPnt >= 30 && ps.decimalPnt <= 39)
        return ps.decimalPnt - 30;
    return ps.tempScale == 1.0f ? 0 : 1;
}

} // namespace

TEC_CALLBACK(OpenDebugPanel)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    app.rt.DisplayPanel(app.panels.debug);
    app.rt.SetCtrlAttribute(app.panels.debug, DEBUG_DEC, rt::ATTR_PRECISION, DebugPrecision(app.params));
    return 0;
}

TEC_CALLBACK(QuitDebug)
{
    if (event == rt::EVENT_COMMIT)
        app.rt.HidePanel(app.panels.debug);
    return 0;
}

TEC_CALLBACK(CheckFunc)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const int function = IntVal(app, DEBUG_FUNC) & 0xFF;
    if (function != comlink::FN_READ && function != comlink::FN_WRITE)
        return 0;
    const bool read = function == comlink::FN_READ;
    SetByte(app, DEBUG_REG_HI, 0);
    Dim(app, DEBUG_DATA1, read ? 1 : 0);
    Dim(app, DEBUG_DATA2, read ? 1 : 0);
    Dim(app, DEBUG_RX3, read ? 1 : 0);
    SetByte(app, DEBUG_DATA1, 0);
    SetByte(app, DEBUG_DATA2, read ? 1 : 0);
    return 0;
}

TEC_CALLBACK(WrtOn)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    rt::Runtime& rt = app.rt;
    comlink::Bus& bus = app.bus;
    const int dbg = app.panels.debug;

    comlink::SequencePreamble(app.bus);
    // The typed address stays in force for every later request.
    app.controller.address = static_cast<core::Address>(IntVal(app, DEBUG_ID));

    comlink::ModbusFrame frame;
    frame.b[0] = app.controller.address;
    frame.b[1] = ByteVal(app, DEBUG_FUNC);
    frame.b[2] = ByteVal(app, DEBUG_REG_HI);
    frame.b[3] = ByteVal(app, DEBUG_REG_LO);
    frame.b[4] = ByteVal(app, DEBUG_DATA1);
    frame.b[5] = ByteVal(app, DEBUG_DATA2);
    rt.Delay(comlink::kPreambleDelay);
    frame.seal();
    SetByte(app, DEBUG_TX_CRC_LO, frame.b[6]);
    SetByte(app, DEBUG_TX_CRC_HI, frame.b[7]);

    if (app.controller.address == 0) {
        // A broadcast is never answered: send it and read nothing.
        if (rt.IsComOpen(bus.comPort) && rt.ComWrt(bus.comPort, frame.b, 8) == rt::RT_ERR_PORT_LOST)
            comlink::PortWentAway(app.bus);
        return 0;
    }

    const comlink::Answer answer = comlink::Transact(app.bus, frame, 8, comlink::kPostWriteDelay);
    Dim(app, DEBUG_RX3, 0);
    for (int i = 0; i < 8; ++i)
        SetByte(app, DEBUG_RX(i), answer.bytes[i]);
    const auto raw = static_cast<std::int16_t>((answer.bytes[4] << 8) | answer.bytes[5]);
    rt.SetCtrlVal(dbg, DEBUG_RX_VALUE, static_cast<double>(raw / app.params.tempScale));
    const comlink::Crc crc = comlink::CalcCRC16(answer.bytes, 6);
    SetByte(app, DEBUG_RX_CRC_LO, crc.lo);
    SetByte(app, DEBUG_RX_CRC_HI, crc.hi);
    return 0;
}

TEC_CALLBACK(DecToHexConv)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    float dec = 0;
    app.rt.GetCtrlVal(app.panels.debug, DEBUG_DEC, &dec);
    const long scaled = rt::Runtime::RoundRealToNearestInteger(static_cast<double>(dec) * app.params.tempScale);
    app.rt.SetCtrlVal(app.panels.debug, DEBUG_HEX, static_cast<int>(static_cast<std::int16_t>(scaled & 0xFFFF)));
    return 0;
}

TEC_CALLBACK(HexToDecConv)
{
    if (event != rt::EVENT_COMMIT)
        return 0;
    const auto raw = static_cast<std::int16_t>(IntVal(app, DEBUG_HEX) & 0xFFFF);
    const float dec = static_cast<float>(raw) / app.params.tempScale;
    app.rt.SetCtrlVal(app.panels.debug, DEBUG_DEC, static_cast<double>(dec));
    return 0;
}

TEC_CALLBACK(DebugPorting)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup(shell::text::kDebugPortingTitle, shell::text::kDebugPortingText);
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    const auto raw = static_cast<std::int16_t>(IntVal(app, DEBUG_HEX) & 0xFFFF);
    SetByte(app, DEBUG_DATA1, (raw >> 8) & 0xFF);
    SetByte(app, DEBUG_DATA2, raw & 0xFF);
    return 0;
}
