// motortypes.cpp - the motor type table and its look-ups, and the channel
// codes of the board wire format.
#include "motor.h"

const MotorTypeInfo MotorTypeTable[25] = {
    {0x00, "None"},
    {0x01, "X (2wires)"},
    {0x02, "Y (2wires)"},
    {0x03, "Z (2wires)"},
    {0x04, "R (2wires)"},
    {0x85, "X (4wires)"},
    {0x86, "Y (4wires)"},
    {0x87, "Z (4wires)"},
    {0x88, "R (4wires)"},
    {0x2A, "X (synchron)"},
    {0x2B, "Y (synchron)"},
    {0x2C, "Z (synchron)"},
    {0x2D, "R (synchron)"},
    {0x41, "X block (2wires)"},
    {0x42, "Y block (2wires)"},
    {0x43, "Z block (2wires)"},
    {0x44, "R block (2wires)"},
    {0xC5, "X block (4wires)"},
    {0xC6, "Y block (4wires)"},
    {0xC7, "Z block (4wires)"},
    {0xC8, "R block (4wires)"},
    {0x6A, "X block (synchron)"},
    {0x6B, "Y block (synchron)"},
    {0x6C, "Z block (synchron)"},
    {0x6D, "R block (synchron)"},
};

// Channel code by address; 0 (no motor) gives 0xFF, 8 would be the frame end.
const uint8_t AddressCodeTable[9] = {0xFF, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0};

namespace {
constexpr int kTypeCount = static_cast<int>(sizeof MotorTypeTable / sizeof MotorTypeTable[0]);
static_assert(kTypeCount == 25, "25 motor types");
}   // namespace

unsigned GetMotorTypeCount() { return kTypeCount; }

const MotorTypeInfo *GetMotorTypeByIndex(int index)
{
    // Callers keep the index in range; anything else gets no entry rather
    // than a read past the table.
    if (index < 0 || index >= kTypeCount)
        return nullptr;
    return &MotorTypeTable[index];
}

const char *GetMotorTypeName(uint8_t code)
{
    const int i = GetMotorTypeIndex(code);
    if (MotorTypeTable[i].Code != code)
        return "???";
    return MotorTypeTable[i].Name;
}

int GetMotorTypeIndex(uint8_t code)
{
    for (int i = 0; i < kTypeCount; ++i)
        if (MotorTypeTable[i].Code == code)
            return i;
    return 0;
}
