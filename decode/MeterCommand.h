#pragma once
// The one-byte commands the cable passes to the instrument (byte 2 of an output report).

#include <QtGlobal>

namespace Decode {

enum class MeterCommand : quint8
{
    Download = 7, // send the stored readings, the last one with the end mark "99"
    Live = 90,    // send live readings, a few a second
    Stop = 91,    // stop sending
};

constexpr quint8 code(MeterCommand c)
{
    return static_cast<quint8>(c);
}

} // namespace Decode
