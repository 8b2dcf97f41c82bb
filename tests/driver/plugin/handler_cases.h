// handler_cases.h - the plug-in function cases that every host sees the same
// way: the test motors' settings files, and the eleven functions called
// through their registered descriptors with packed blocks. Used by the
// in-process tests and by the dlopen host; `Api` reaches the exported
// interface either directly or through dlsym.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kinetrax.h"
#include "records.h"
#include "recording_host.h"

namespace qdxtest {

struct Api {
    double (*SMN_GetTarget)(const char *name);
    int (*SM_GetIndex)(unsigned *dev, unsigned *mot, const char *name, const char *serial, int nth);
    double (*SM_GetTarget)(unsigned dev, unsigned mot);
    double (*SM_GetPosition)(unsigned dev, unsigned mot);
    int (*SMN_IsRunning)(const char *name);
    void (*Settle)(const char *name);   // returns once the motor is at rest
};

using records::Slot;

// The 289-byte settings file of a board with these slots.
inline void WriteBoard(const std::string &path, const std::vector<SMotorSettings> &motors)
{
    DeviceSettings block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(block.BoardName, "Bench", 5);
    for (size_t i = 0; i < motors.size(); ++i)
        block.MotorSettings[i] = motors[i];
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(&block), sizeof block);
}

// Board SER0 (motors 0..2) and SER1 (3..7): eight motors in all.
//   X-axis  4-wire, 2 steps/unit, 5/50 ms, at 1.5        Lift  100 steps/unit, at 2.5
//   Twin    on both boards (0 on SER0, 7 on SER1)        Odd   unknown type, step times 0
//   NoAddr  no output channel                            Slow  50 ms steps
//   TenLetters  a name of 10 characters (no terminator)
inline void WriteTestBoards(const std::string &dir)
{
    WriteBoard(dir + "SER0.hws",
               {Slot(1, 0x85, "X-axis", 2.0f, 1.5f, 0, 5, 50), Slot(2, 0x01, "Lift", 100.0f, 2.5f, 0, 1, 1),
                Slot(3, 0x02, "Twin", 1.0f, 0.0f, 0, 1, 1)});
    WriteBoard(dir + "SER1.hws",
               {Slot(1, 0x03, "Twin", 1.0f, 7.0f, 0, 1, 1), Slot(2, 0x05, "Odd", 4.0f, 0.0f, 0, 0, 0),
                Slot(0, 0x85, "NoAddr", 1.0f, 0.0f, 0, 5, 5), Slot(3, 0x01, "Slow", 1.0f, 0.0f, 0, 50, 50),
                Slot(4, 0x01, "TenLetters", 1.0f, 0.0f, 0, 1, 1)});
}
constexpr unsigned kTestMotors = 8;
constexpr const char *kTestDevices = "TRUV-kq4:SER0,TRUV-RZDO:SER1";

inline LogLine LastLog()
{
    std::lock_guard<std::mutex> l(Rec().mutex);
    return Rec().logs.empty() ? LogLine{"", "", "", -1} : Rec().logs.back();
}
inline size_t LogCount()
{
    std::lock_guard<std::mutex> l(Rec().mutex);
    return Rec().logs.size();
}

// "Motor Info": the count always; a motor's fields by global index; "???" and
// zeros outside; nothing written beyond its 110 bytes.
inline void MotorInfoCases()
{
    struct Case {
        int32_t index;
        const char *name;
        size_t nameLength;
        const char *type;
        double position, zero, fast, slow;
    };
    const Case cases[] = {
        {-1, "???", 3, "???", 0, 0, 0, 0},
        {static_cast<int32_t>(kTestMotors), "???", 3, "???", 0, 0, 0, 0},
        {INT32_MIN, "???", 3, "???", 0, 0, 0, 0},
        {0, "X-axis", 6, "X (4wires)", 1.5, 0, 400.0, 40.0},   // 1000 / 5 * 2, 1000 / 50 * 2
        {1, "Lift", 4, "X (2wires)", 2.5, 0, 100000.0, 100000.0},
        {4, "Odd", 3, "???", 0, 0, 0.0, 0.0},   // step times 0: no speed
        {7, "TenLetters", 10, "X (2wires)", 0, 0, 1000.0, 1000.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        Block out(0xAB);
        ASSERT_EQ(Call("Motor Info", Block().Put(0, c.index), out), 0);
        EXPECT_EQ(out.Get<uint32_t>(0), kTestMotors);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.bytes + 4), c.nameLength), c.name);
        for (size_t i = c.nameLength; i < 10; ++i)
            EXPECT_EQ(out.bytes[4 + i], 0) << "name byte " << i;
        EXPECT_EQ(out.GetText(14, 64), c.type);
        EXPECT_EQ(out.bytes[14 + std::strlen(c.type)], 0);
        EXPECT_EQ(out.Get<double>(78), c.position);
        EXPECT_EQ(out.Get<double>(86), c.zero);
        EXPECT_EQ(out.Get<double>(94), c.fast);
        EXPECT_EQ(out.Get<double>(102), c.slow);
        for (size_t i = 110; i < sizeof out.bytes; ++i)
            ASSERT_EQ(out.bytes[i], 0xAB) << "byte " << i << " beyond the block";
    }
}

// A name no motor bears (or none at all): each function's failure.
inline void UnknownNameCases()
{
    for (const char *name : {"Nobody", "x-axis", "", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(name != nullptr ? name : "(null)");
        Block out(0xAB);
        EXPECT_EQ(Call("Motor Is Running", NameIn(name), out), 0);
        EXPECT_EQ(out.Get<int32_t>(0), -1);

        out = Block(0xAB);
        EXPECT_EQ(Call("Motor Position", NameIn(name), out), 1);
        EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull) << "written";
        EXPECT_EQ(Call("Stop Motor", NameIn(name), out), 1);
        EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull) << "written";

        for (const char *f : {"Setup Motor", "Set Zero", "Release Motor", "ResetMotor"}) {
            out = Block(0xAB);
            EXPECT_EQ(Call(f, NameIn(name), out), std::strcmp(f, "Setup Motor") == 0 ? 0 : 1) << f;
            EXPECT_EQ(out.Get<int32_t>(0), 0) << f;
            EXPECT_EQ(out.bytes[4], 0xAB) << f;
        }

        const std::string shown = name != nullptr ? name : "";
        out = Block(0xAB);
        EXPECT_EQ(Call("Move Motor", MoveIn(1.0, 0, name), out), 1);
        EXPECT_EQ(LastLog().text, "MoveMotor(1, false, " + shown + ")=false");
        if (name != nullptr) {
            EXPECT_EQ(Call("Move2Motor", Move2In(1.0, 0, name), out), 1);
            EXPECT_EQ(LastLog().text, "MoveMotor(1, false, " + shown + ")=false");
            EXPECT_EQ(Call("QuickMoveMotor", QuickMoveIn(1.0, 0, 7, name), out), 1);
            EXPECT_EQ(LastLog().text, "MoveMotor(1, false, " + shown + ")=false");
        }
        EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull) << "a move wrote its output";
    }
}

// The three moves: one log line each, right after the move; relative when the
// 4-byte flag is any non-zero value; QuickMoveMotor is Move2Motor.
inline void MoveCases(const Api &api)
{
    Block out(0xAB);
    const size_t before = LogCount();
    ASSERT_EQ(Call("Move Motor", MoveIn(12.5, 0, "X-axis"), out), 0);
    ASSERT_EQ(LogCount(), before + 1);
    const LogLine line = LastLog();
    EXPECT_EQ(line.plugin, "kinetrax");
    EXPECT_EQ(line.format, "MoveMotor(%g, %s, %s)=%s");
    EXPECT_EQ(line.zero, 0);
    EXPECT_EQ(line.text, "MoveMotor(12.5, false, X-axis)=true");
    EXPECT_EQ(api.SMN_GetTarget("X-axis"), 12.5);
    EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull);

    // Found but refused (no output channel).
    EXPECT_EQ(Call("Move Motor", MoveIn(3.0, 1, "NoAddr"), out), 1);
    EXPECT_EQ(LastLog().text, "MoveMotor(3, true, NoAddr)=false");

    // Relative: 0x100 has a zero low byte and still counts as true. Lift
    // stands at 2.5.
    ASSERT_EQ(Call("Move Motor", MoveIn(1.0, 0x100, "Lift"), out), 0);
    EXPECT_EQ(LastLog().text, "MoveMotor(1, true, Lift)=true");
    EXPECT_DOUBLE_EQ(api.SMN_GetTarget("Lift"), 3.5);
    ASSERT_EQ(Call("Move2Motor", Move2In(-2.0, -1, "TenLetters"), out), 0);
    EXPECT_EQ(LastLog().text, "MoveMotor(-2, true, TenLetters)=true");
    EXPECT_DOUBLE_EQ(api.SMN_GetTarget("TenLetters"), -2.0);

    // QuickMoveMotor with any speed moves as Move2Motor does.
    ASSERT_EQ(Call("Move2Motor", Move2In(4.25, 0, "Lift"), out), 0);
    const std::string move2Log = LastLog().text;
    const double move2Target = api.SMN_GetTarget("Lift");
    for (uint32_t speed : {0u, 1u, 1234u, 0xFFFFFFFFu}) {
        ASSERT_EQ(Call("Move Motor", MoveIn(0.0, 0, "Lift"), out), 0);
        ASSERT_EQ(Call("QuickMoveMotor", QuickMoveIn(4.25, 0, speed, "Lift"), out), 0) << speed;
        EXPECT_EQ(LastLog().text, move2Log) << speed;
        EXPECT_EQ(api.SMN_GetTarget("Lift"), move2Target) << speed;
    }
    EXPECT_EQ(move2Log, "MoveMotor(4.25, false, Lift)=true");

    // An inline name that fills its 64 bytes without a terminator is read no
    // further.
    Block in = Move2In(1.0, 0, "");
    std::memset(in.bytes + 12, 'A', 64);
    std::memset(in.bytes + 76, 'B', sizeof in.bytes - 76);
    EXPECT_EQ(Call("Move2Motor", in, out), 1);
    EXPECT_EQ(LastLog().text, "MoveMotor(1, false, " + std::string(64, 'A') + ")=false");
    EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull);
}

// Two motors named "Twin": every function acts on the first (SER0, slot 2).
inline void SharedNameCases(const Api &api)
{
    Block out(0xAB);
    ASSERT_EQ(Call("Motor Position", NameIn("Twin"), out), 0);
    EXPECT_EQ(out.Get<double>(0), 0.0);
    EXPECT_EQ(out.bytes[8], 0xAB);
    const double otherTarget = api.SM_GetTarget(1, 0);
    ASSERT_EQ(Call("Move Motor", MoveIn(2.0, 0, "Twin"), out), 0);
    EXPECT_EQ(api.SM_GetTarget(0, 2), 2.0);
    EXPECT_EQ(api.SM_GetTarget(1, 0), otherTarget);
    EXPECT_EQ(api.SM_GetPosition(1, 0), 7.0);
}

// Running state, stop, zero, release, reset on found motors.
inline void MotorStateCases(const Api &api)
{
    Block out(0xAB);
    ASSERT_EQ(Call("Motor Is Running", NameIn("Slow"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 0);
    ASSERT_EQ(Call("Move Motor", MoveIn(1000.0, 0, "Slow"), out), 0);   // 50 s of steps
    ASSERT_EQ(Call("Motor Is Running", NameIn("Slow"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 1);
    out = Block(0xAB);
    EXPECT_EQ(Call("Stop Motor", NameIn("Slow"), out), 0);
    EXPECT_EQ(out.Get<uint64_t>(0), 0xABABABABABABABABull);
    api.Settle("Slow");
    ASSERT_EQ(Call("Motor Position", NameIn("Slow"), out), 0);
    EXPECT_LT(out.Get<double>(0), 100.0) << "the stop had no effect";

    // A stop while the motor turns for a target behind it: it comes to rest
    // where it is instead of running back to that target.
    const double before = out.Get<double>(0);
    ASSERT_EQ(Call("Move Motor", MoveIn(1000.0, 0, "Slow"), out), 0);
    ASSERT_EQ(Call("Move Motor", MoveIn(-1000.0, 0, "Slow"), out), 0);
    EXPECT_EQ(Call("Stop Motor", NameIn("Slow"), out), 0);
    api.Settle("Slow");
    ASSERT_EQ(Call("Motor Position", NameIn("Slow"), out), 0);
    EXPECT_GT(out.Get<double>(0), before - 5.0) << "the motor ran back after the stop";
    EXPECT_LT(out.Get<double>(0), before + 5.0);

    // Zero at rest: Lift stands at 2.5.
    ASSERT_EQ(Call("Motor Position", NameIn("Lift"), out), 0);
    EXPECT_DOUBLE_EQ(out.Get<double>(0), 2.5);
    out = Block(0xAB);
    ASSERT_EQ(Call("Set Zero", NameIn("Lift"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 1);
    EXPECT_EQ(out.bytes[4], 0xAB);
    ASSERT_EQ(Call("Motor Position", NameIn("Lift"), out), 0);
    EXPECT_EQ(out.Get<double>(0), 0.0);

    out = Block(0xAB);
    ASSERT_EQ(Call("ResetMotor", NameIn("Lift"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 1);
    ASSERT_EQ(Call("Motor Position", NameIn("Lift"), out), 0);
    EXPECT_DOUBLE_EQ(out.Get<double>(0), -2.5);   // absolute 0, zero still at 2.5

    out = Block(0xAB);
    ASSERT_EQ(Call("Release Motor", NameIn("X-axis"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 1);
    EXPECT_EQ(out.bytes[4], 0xAB);

    // No window can run in this process: the setup reports failure, and the
    // function still succeeds.
    out = Block(0xAB);
    EXPECT_EQ(Call("Setup Motor", NameIn("X-axis"), out), 0);
    EXPECT_EQ(out.Get<int32_t>(0), 0);
}

}   // namespace qdxtest
