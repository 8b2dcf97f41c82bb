// motorstopped.cpp - raises "Motor Stopped" through the registered host.
#include "motorstopped.h"

#include "qdxplugin.h"

// Written by the host's registration before any board opens, only read after.
QdxHostFuncs *QdxHost = nullptr;
int32_t MotorStoppedEventId = 0;

void RaiseMotorStopped(int32_t index)
{
    QdxHostFuncs *host = QdxHost;
    if (host != nullptr && host->RaiseEvent != nullptr)
        host->RaiseEvent(MotorStoppedEventId, index);
}
