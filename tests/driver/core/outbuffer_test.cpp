// outbuffer_test.cpp - the board's output buffer and its append rule, the
// automatic release, the "Motor Stopped" notes, the reset of the settings
// block, and the motor type table.
#include "motion_fixture.h"

#include <cstring>
#include <string>

namespace {
// A copy of a packed field (the record's fields are not aligned).
template <class T> T Value(T v) { return v; }
}   // namespace

TEST_F(MotionTest, NewBoardHasAnEmptyBufferAndNoHold)
{
    EXPECT_FALSE(b.HoldStart);
    EXPECT_EQ(b.OutLength, 0u);
    for (uint8_t byte : b.OutBuffer)
        EXPECT_EQ(byte, 0);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(M(i).Owner, &b);
        EXPECT_EQ(M(i).Settings, &b.Settings.MotorSettings[i]);
        EXPECT_EQ(M(i).Index, i);
        EXPECT_FALSE(M(i).IsRunning());
    }
}

TEST_F(MotionTest, ClearOutputZeroesTheWholeBuffer)
{
    std::memset(b.OutBuffer, 0xAB, sizeof b.OutBuffer);
    b.OutLength = 77;
    b.ClearOutput();
    EXPECT_EQ(b.OutLength, 0u);
    for (uint8_t byte : b.OutBuffer)
        EXPECT_EQ(byte, 0);
}

TEST_F(MotionTest, AFrameIsAppendedOnlyWhenItAndItsTerminatorFit)
{
    const uint8_t frame[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    // 114 + 13 + 1 = 128 fits.
    std::memset(b.OutBuffer, 0x55, sizeof b.OutBuffer);
    b.OutLength = 114;
    b.AppendFrame(frame, 13);
    EXPECT_EQ(b.OutLength, 127u);
    EXPECT_EQ(std::memcmp(b.OutBuffer + 114, frame, 13), 0);
    EXPECT_EQ(b.OutBuffer[127], 0);
    EXPECT_EQ(b.OutBuffer[113], 0x55);
    // At 115 it doesn't: dropped, nothing changes.
    std::memset(b.OutBuffer, 0x55, sizeof b.OutBuffer);
    b.OutLength = 115;
    uint8_t before[sizeof b.OutBuffer];
    std::memcpy(before, b.OutBuffer, sizeof before);
    b.AppendFrame(frame, 13);
    EXPECT_EQ(b.OutLength, 115u);
    EXPECT_EQ(std::memcmp(before, b.OutBuffer, sizeof before), 0);
    // A length beyond the buffer (never produced) can't write past it either.
    b.OutLength = 200;
    b.AppendFrame(frame, 2);
    EXPECT_EQ(b.OutLength, 200u);

    // Frames follow each other, kept NUL-terminated.
    b.ClearOutput();
    b.AppendFrame(frame, 3);
    b.AppendFrame(frame + 10, 2);
    EXPECT_EQ(Bytes(b.OutBuffer, b.OutBuffer + 6), (Bytes{1, 2, 3, 11, 12, 0}));
    EXPECT_EQ(b.OutLength, 5u);
}

TEST_F(MotionTest, AutomaticReleaseAppendsTheSlotsReleaseFrame)
{
    const struct {
        uint8_t address;
        uint8_t code;
    } cases[] = {{1, 0x80}, {2, 0x90}, {7, 0xE0}, {0, 0xFF}, {8, 0xFF}, {9, 0xFF}, {255, 0xFF}};
    for (const auto &c : cases) {
        S(3).Address = c.address;
        b.ClearOutput();
        b.AppendFrame(reinterpret_cast<const uint8_t *>("\x81\x81\xF1"), 3);
        b.AppendReleaseFrame(3);
        EXPECT_EQ(Bytes(b.OutBuffer, b.OutBuffer + b.OutLength), (Bytes{0x81, 0x81, 0xF1, c.code, 0xF0}))
            << int(c.address);
        EXPECT_EQ(ReleaseCode(c.address), c.code);
    }
    b.ClearOutput();
    b.AppendReleaseFrame(-1);
    b.AppendReleaseFrame(7);
    EXPECT_EQ(b.OutLength, 0u);
}

TEST_F(MotionTest, StopNotesAreTakenInOrderAndNeverOverflow)
{
    b.NoteMotorStopped(4);
    b.NoteMotorStopped(0);
    b.NoteMotorStopped(4);
    uint8_t out[8];
    EXPECT_EQ(b.TakePendingStops(out, 2), 2u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(Stops(), std::vector<int>{4});   // the rest stayed
    EXPECT_TRUE(Stops().empty());

    for (int k = 0; k < 100; ++k)
        b.NoteMotorStopped(k % 7);
    const std::vector<int> kept = Stops();
    ASSERT_FALSE(kept.empty());
    ASSERT_LE(kept.size(), 100u);
    for (size_t k = 0; k < kept.size(); ++k)
        EXPECT_EQ(kept[k], int(k % 7));
    b.NoteMotorStopped(6);
    EXPECT_EQ(Stops(), std::vector<int>{6});
}

TEST_F(MotionTest, ResetGivesEverySlotItsDefaultsAndKeepsTheRest)
{
    std::memset(&b.Settings, 0xAB, sizeof b.Settings);
    b.ResetSettings();
    EXPECT_EQ(b.Settings.BoardName[0], 0);
    for (int k = 1; k < 15; ++k)
        EXPECT_EQ(uint8_t(b.Settings.BoardName[k]), 0xAB);
    EXPECT_EQ(b.Settings.Spare, 0xAB);
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        const SMotorSettings &s = S(i);
        EXPECT_EQ(s.Address, 0);
        EXPECT_EQ(s.TypeCode, 0);
        EXPECT_EQ(Value(s.TravelLength), 0);
        EXPECT_EQ(Value(s.Coefficient), 1.0f);
        EXPECT_EQ(s.AccelLength, 0);
        EXPECT_EQ(Value(s.MinStepTime), 0);
        EXPECT_EQ(Value(s.MaxStepTime), 0);
        EXPECT_EQ(s.HalfSteps, 0);
        EXPECT_EQ(s.AutoRelease, 0);
        EXPECT_EQ(s.Name[0], 0);
        EXPECT_EQ(uint8_t(s.Name[9]), 0xAB);
        EXPECT_EQ(Value(s.Position), 0.0f);
        EXPECT_EQ(Value(s.StartPosition), 0.0f);
        EXPECT_EQ(Value(s.Zero), 0.0f);
    }

    // One slot alone; the others are left as they are.
    std::memset(&b.Settings, 0xCD, sizeof b.Settings);
    b.ResetMotorSettings(6);
    EXPECT_EQ(Value(S(6).Coefficient), 1.0f);
    EXPECT_EQ(S(5).Address, 0xCD);
    EXPECT_EQ(uint8_t(b.Settings.BoardName[0]), 0xCD);
    b.ResetMotorSettings(7);   // no such slot
    b.ResetMotorSettings(-1);
    EXPECT_EQ(b.Settings.Spare, 0xCD);

    // The sign of the stored ramp length.
    S(0).AccelLength = static_cast<int8_t>(0x7F);
    EXPECT_EQ(S(0).AccelLength, 127);
    S(0).AccelLength = static_cast<int8_t>(0x80);
    EXPECT_EQ(S(0).AccelLength, -128);
}

TEST(MotorTypes, TableAndLookUps)
{
    const struct {
        uint8_t code;
        const char *name;
    } expected[25] = {
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
    ASSERT_EQ(GetMotorTypeCount(), 25u);
    for (int i = 0; i < 25; ++i) {
        const MotorTypeInfo *t = GetMotorTypeByIndex(i);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->Code, expected[i].code) << i;
        EXPECT_STREQ(t->Name, expected[i].name);
        EXPECT_EQ(GetMotorTypeIndex(t->Code), i);
        EXPECT_EQ(GetMotorTypeName(t->Code), t->Name);
    }
    EXPECT_STREQ(GetMotorTypeName(0x85), "X (4wires)");
    EXPECT_STREQ(GetMotorTypeName(0x05), "???");
    EXPECT_STREQ(GetMotorTypeName(0xFF), "???");
    EXPECT_EQ(GetMotorTypeIndex(0x05), 0);
    EXPECT_EQ(GetMotorTypeIndex(0x6D), 24);
    EXPECT_EQ(GetMotorTypeByIndex(25), nullptr);
    EXPECT_EQ(GetMotorTypeByIndex(-1), nullptr);

    // Channel codes of the wire format and which addresses have one.
    const uint8_t codes[9] = {0xFF, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0};
    for (int a = 0; a < 9; ++a)
        EXPECT_EQ(AddressCodeTable[a], codes[a]) << a;
    for (int a = 0; a < 256; ++a)
        EXPECT_EQ(HasChannel(uint8_t(a)), a >= 1 && a <= 7) << a;
}
