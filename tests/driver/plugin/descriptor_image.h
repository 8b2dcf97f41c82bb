// descriptor_image.h - the bytes a host must find in the library's eleven
// function descriptors and its event descriptor, built independently of the
// library's structures at the x86-64 offsets of the host interface.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qdxplugin.h"

namespace qdxtest {

struct ParamImage {
    int32_t type, count;
    const char *name;
};

struct DescriptorImage {
    const char *name, *description;
    int32_t inputCount, outputCount;
    std::vector<ParamImage> inputs, outputs;
};

inline std::vector<DescriptorImage> ExpectedDescriptors()
{
    const ParamImage name{10, 1, "MotorName"}, succes{0, 1, "Succes"}, dummy{9, 1, "dummy"};
    const ParamImage dest{9, 1, "Destination"}, rel{0, 1, "Relative"}, inlineName{1, 64, "MotorName"};
    return {
        {"Motor Info",
         "Get motors count, or motor info",
         1,
         5,
         {{6, 1, "MotorIndex"}},
         {{7, 1, "Count"}, {1, 10, "Name"}, {1, 64, "Type"}, {9, 2, "Position, Zero"}, {9, 2, "Speed Min/Max"}}},
        {"Setup Motor", "Open window for setup motor", 1, 1, {name}, {succes}},
        {"Motor Is Running",
         "Motor is connected (Status=-1|0) or running (Status=1)",
         1,
         1,
         {name},
         {{6, 1, "Status"}}},
        {"Motor Position", "Return position of selected motor.", 1, 1, {name}, {{9, 1, "Position"}}},
        {"Move Motor", "Moves selected motor", 3, 0, {dest, rel, name}, {dummy}},
        {"Move2Motor", "Moves selected motor", 3, 0, {dest, rel, inlineName}, {dummy}},
        {"QuickMoveMotor",
         "Moves selected motor specified speed",
         4,
         0,
         {dest, rel, {7, 1, "Speed"}, inlineName},
         {dummy}},
        {"Stop Motor", "Stops selected motor", 1, 0, {name}, {dummy}},
        {"Set Zero", "Set actual position of motor as zero", 1, 1, {name}, {succes}},
        {"Release Motor", "Unplug supply of motor", 1, 1, {name}, {succes}},
        {"ResetMotor", "Reset motor position", 1, 1, {name}, {succes}},
    };
}

constexpr size_t kDescriptorSize = 2400;

// Compares every byte after the handler pointer; the pointer must be set.
inline void ExpectDescriptorBytes(const QdxFuncDescriptor *d, const DescriptorImage &e)
{
    static_assert(sizeof(QdxFuncDescriptor) == kDescriptorSize, "x86-64 layout");
    unsigned char want[kDescriptorSize] = {};
    auto put32 = [&](size_t off, int32_t v) { std::memcpy(want + off, &v, 4); };
    auto text = [&](size_t off, const char *s) { std::memcpy(want + off, s, std::strlen(s)); };
    put32(8, e.inputCount);
    put32(12, e.outputCount);
    for (size_t i = 0; i < e.inputs.size(); ++i) {
        put32(16 + 136 * i, e.inputs[i].type);
        put32(16 + 136 * i + 4, e.inputs[i].count);
        text(16 + 136 * i + 8, e.inputs[i].name);
    }
    for (size_t i = 0; i < e.outputs.size(); ++i) {
        put32(1104 + 136 * i, e.outputs[i].type);
        put32(1104 + 136 * i + 4, e.outputs[i].count);
        text(1104 + 136 * i + 8, e.outputs[i].name);
    }
    text(2192, "kinetrax");
    text(2224, e.name);
    text(2256, e.description);

    const unsigned char *got = reinterpret_cast<const unsigned char *>(d);
    void *handler = nullptr;
    std::memcpy(&handler, got, sizeof handler);
    EXPECT_NE(handler, nullptr);
    for (size_t i = 8; i < kDescriptorSize; ++i)
        ASSERT_EQ(got[i], want[i]) << "byte " << i;
}

inline void ExpectEventDescriptorBytes(const QdxEventDescriptor *d)
{
    unsigned char want[192] = {};
    std::memcpy(want, "kinetrax", 8);
    std::memcpy(want + 32, "Motor Stopped", 13);
    std::memcpy(want + 64, "One of motors has been stopped", 30);
    ASSERT_EQ(sizeof *d, sizeof want);
    EXPECT_EQ(std::memcmp(d, want, sizeof want), 0);
}

}   // namespace qdxtest
