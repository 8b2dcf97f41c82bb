// outbuffer.cpp - the board's output buffer (the frames of one tick or of one
// release), the automatic release of a motor, the "Motor Stopped" notes that
// wait for the board's lock to be released, and the reset of the settings block.
//
// Everything here runs with the board's Lock held (the tick, or a client's
// release) and allocates nothing.
#include <cstring>

#include "hardware.h"
#include "motor.h"

void USBDriver::ClearOutput()
{
    std::memset(OutBuffer, 0, sizeof OutBuffer);
    OutLength = 0;
}

void USBDriver::AppendFrame(const uint8_t *frame, unsigned length)
{
    if (frame == nullptr || length == 0 || length > kMaxFrame)
        return;
    // The frame and its terminating NUL must fit; otherwise it is dropped
    // and the buffer stays as it was.
    if (static_cast<uint64_t>(OutLength) + length + 1 > sizeof OutBuffer)
        return;
    std::memcpy(OutBuffer + OutLength, frame, length);
    OutLength += length;
    OutBuffer[OutLength] = 0;
}

void USBDriver::AppendReleaseFrame(int index)
{
    if (index < 0 || index >= static_cast<int>(kMotorsPerBoard))
        return;
    const uint8_t frame[2] = {ReleaseCode(Settings.MotorSettings[index].Address), 0xF0};
    AppendFrame(frame, sizeof frame);
}

void USBDriver::NoteMotorStopped(int index)
{
    // Bounded: far more room than one lock hold can fill (at most one stop
    // per motor per tick, one per MoveTo). Should it ever be full, the note
    // is dropped rather than written past the array.
    if (pendingCount_ >= sizeof pendingStops_)
        return;
    pendingStops_[pendingCount_++] = static_cast<uint8_t>(index);
}

unsigned USBDriver::TakePendingStops(uint8_t *indexes, unsigned max)
{
    if (indexes == nullptr || max == 0 || pendingCount_ == 0)
        return 0;
    const unsigned n = pendingCount_ < max ? pendingCount_ : max;
    std::memcpy(indexes, pendingStops_, n);
    // Notes that did not fit the caller's array stay for the next call.
    std::memmove(pendingStops_, pendingStops_ + n, pendingCount_ - n);
    pendingCount_ -= n;
    return n;
}

void USBDriver::ResetMotorSettings(int slot)
{
    if (slot < 0 || slot >= static_cast<int>(kMotorsPerBoard))
        return;
    SMotorSettings &s = Settings.MotorSettings[slot];
    s.Address = 0;
    s.TypeCode = 0;
    s.TravelLength = 0;
    s.Coefficient = 1.0f;
    s.AccelLength = 0;
    s.MinStepTime = 0;
    s.MaxStepTime = 0;
    s.HalfSteps = 0;
    s.AutoRelease = 0;
    s.Name[0] = 0;   // the other nine bytes keep their content
    s.Position = 0.0f;
    s.StartPosition = 0.0f;
    s.Zero = 0.0f;
}

void USBDriver::ResetSettings()
{
    Settings.BoardName[0] = 0;   // bytes 1..14 keep their content
    for (int slot = 0; slot < static_cast<int>(kMotorsPerBoard); ++slot)
        ResetMotorSettings(slot);
}
