// motorstopped.cpp - raises "Motor Stopped" through the registered host.
#include "motorstopped.h"

#include <atomic>

#include "qdxplugin.h"

QdxHostFuncs *QdxHost = nullptr;
int32_t MotorStoppedEventId = 0;

void RaiseMotorStoppedToHost(int32_t index)
{
    QdxHostFuncs *host = std::atomic_ref<QdxHostFuncs *>(QdxHost).load(std::memory_order_acquire);
    if (host == nullptr || host->RaiseEvent == nullptr)
        return;
    const int32_t id = std::atomic_ref<int32_t>(MotorStoppedEventId).load(std::memory_order_acquire);
    host->RaiseEvent(id, index);
}
