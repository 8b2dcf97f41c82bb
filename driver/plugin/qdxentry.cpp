// qdxentry.cpp - the plug-in entry point _InitQdxPlugin: the host's header
// version check, the registration with the host (configuration directory,
// menu entry, the eleven functions, "Motor Stopped", the manager's "Exit") and
// the two callbacks the host calls.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "Tavelwindow.h"
#include "hardware.h"
#include "kinetrax.h"
#include "motorstopped.h"
#include "msgbox.h"
#include "qdxfunctions.h"
#include "qdxplugin.h"
#include "stophook.h"

extern "C" {

void OnDevicesMenuClick(void) { _ShowSetupWin(); }

void OnHostExit(void)
{
    // The library's own shut-down, never the "_Exit" symbol (it may bind to
    // the C library's).
    try {
        ExitLibrary();
    } catch (...) {
    }
}

}   // extern "C"

int32_t RegisterQdxPlugin()
{
    QdxHostFuncs *host = std::atomic_ref<QdxHostFuncs *>(QdxHost).load(std::memory_order_acquire);

    // The boards opened below load their settings files from this directory.
    char dir[kConfigDirBytes] = {};
    host->GetConfigDir(dir);
    dir[sizeof dir - 1] = 0;   // an overlong answer ends here
    SetConfigDir(dir);

    host->AddMenuItem(QDX_PLUGIN_NAME, "USB Stepper motors", "Devices", OnDevicesMenuClick, 0, 0, 0);
    for (const QdxFuncDescriptor &function : QdxFunctionTable)
        host->RegisterFunction(&function);

    // The host writes the event's id straight into the global, as the
    // interface says; a host may keep that address.
    host->RegisterEvent(&MotorStoppedDescriptor, &MotorStoppedEventId);

    host->SubscribeEvent("vuveve", "Exit", OnHostExit);

    _RefreshDevices();   // no board attached is no failure of the registration
    return 0;
}

extern "C" QDX_EXPORT int32_t _InitQdxPlugin(QdxHostFuncs *host)
{
    if (host == nullptr)
        return -1;
    try {
        if (host->Version != QDX_HEADER_VERSION) {
            char text[256];
            std::memset(text, 0, sizeof text);
            std::snprintf(text, sizeof text,
                          "Plugin \"%s\" was compiled with header files ver. %d, this version is %d, "
                          "please recompile the plugin.",
                          QDX_PLUGIN_NAME, QDX_HEADER_VERSION, static_cast<int>(host->Version));
            KxMessageBox(nullptr, text, "Plugin version check failed", MsgIcon::Warning);
            return -1;
        }
        std::atomic_ref<QdxHostFuncs *>(QdxHost).store(host, std::memory_order_release);
        SetMotorStoppedHook(RaiseMotorStoppedToHost);
        return RegisterQdxPlugin();
    } catch (...) {
        return -1;
    }
}
