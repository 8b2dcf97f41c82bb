// records.h - builders for the settings records that tests hand the library:
// one motor's 39-byte SMotorSettings and a board's 289-byte settings block.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "kinetrax.h"

// The fields tests set; everything else of the record is zero.
struct RecordFields {
    uint8_t address = 0;
    uint8_t type = 0;
    const char *name = "";   // at most 10 characters are stored (no terminator at 10)
    float coefficient = 1.0f;
    float position = 0.0f;
    int32_t length = 0;   // TravelLength
    int8_t accel = 0;
    uint16_t minStep = 0;
    uint16_t maxStep = 0;
};

inline SMotorSettings MakeRecord(const RecordFields &f)
{
    SMotorSettings s;
    std::memset(&s, 0, sizeof s);
    s.Address = f.address;
    s.TypeCode = f.type;
    s.Coefficient = f.coefficient;
    s.Position = f.position;
    s.TravelLength = f.length;
    s.AccelLength = f.accel;
    s.MinStepTime = f.minStep;
    s.MaxStepTime = f.maxStep;
    std::memcpy(s.Name, f.name, strnlen(f.name, sizeof s.Name));
    return s;
}

namespace records {

// A motion slot by position: address, type, name, then the fields motion
// tests vary (coefficient, position, ramp length, step times).
inline SMotorSettings Slot(uint8_t address, uint8_t type, const char *name, float coefficient = 1.0f,
                           float position = 0.0f, int8_t accel = 0, uint16_t minStep = 0, uint16_t maxStep = 0)
{
    return MakeRecord({.address = address,
                       .type = type,
                       .name = name,
                       .coefficient = coefficient,
                       .position = position,
                       .accel = accel,
                       .minStep = minStep,
                       .maxStep = maxStep});
}

}   // namespace records

// A block with every slot in its reset state (coefficient 1) and the first
// slots filled in from `filled`.
inline DeviceSettings MakeBlock(const std::vector<SMotorSettings> &filled, const char *boardName = "")
{
    DeviceSettings b;
    std::memset(&b, 0, sizeof b);
    std::memcpy(b.BoardName, boardName, strnlen(boardName, 10));
    for (int i = 0; i < 7; ++i)
        b.MotorSettings[i].Coefficient = 1.0f;
    for (size_t i = 0; i < filled.size() && i < 7; ++i)
        b.MotorSettings[i] = filled[i];
    return b;
}
