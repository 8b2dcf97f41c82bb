// qdxfunctions.h - inside the plug-in adapter: the descriptor tables the
// registration hands to the host, the eleven function handlers, the
// registration sequence and the two host callbacks.
#pragma once

#include <cstdint>

#include "qdxplugin.h"

// The eleven functions in registration order ("Motor Info" ... "ResetMotor").
constexpr unsigned kQdxFunctionCount = 11;
extern const QdxFuncDescriptor QdxFunctionTable[kQdxFunctionCount];
// "Motor Stopped".
extern const QdxEventDescriptor MotorStoppedDescriptor;

extern "C" {

// Handlers: (context, input block, output block) -> 0 success, 1 failure. The
// blocks have the layouts of qdxplugin.h; the context is not read.
int32_t QdxMotorInfo(int32_t context, const void *in, void *out);
int32_t QdxSetupMotor(int32_t context, const void *in, void *out);
int32_t QdxMotorIsRunning(int32_t context, const void *in, void *out);
int32_t QdxMotorPosition(int32_t context, const void *in, void *out);
int32_t QdxMoveMotor(int32_t context, const void *in, void *out);
int32_t QdxMove2Motor(int32_t context, const void *in, void *out);
int32_t QdxQuickMoveMotor(int32_t context, const void *in, void *out);
int32_t QdxStopMotor(int32_t context, const void *in, void *out);
int32_t QdxSetZero(int32_t context, const void *in, void *out);
int32_t QdxReleaseMotor(int32_t context, const void *in, void *out);
int32_t QdxResetMotor(int32_t context, const void *in, void *out);

// The host menu entry "USB Stepper motors": shows the control window.
void OnDevicesMenuClick(void);
// The host manager's "Exit" event: closes the control window and every board.
void OnHostExit(void);

}   // extern "C"

// The registration sequence with the host in QdxHost; always 0.
int32_t RegisterQdxPlugin();
