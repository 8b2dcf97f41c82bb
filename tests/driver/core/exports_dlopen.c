/*
 * exports_dlopen.c - a client program written in C that uses libkinetrax.so
 * the way any other program would: loads it with dlopen, looks up the
 * exported functions by name, discovers two simulated boards, configures the
 * motors through the boards' settings files, moves motors, polls them until
 * they stop and checks the bytes that reached the boards (the simulated bus's
 * trace file).
 *
 * Usage: exports_dlopen path/to/libkinetrax.so
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "kinetrax.h"
#include "ccheck.h"

/* The 43 functions of the device and motor interface. */
static const char *const kNames[] = {
    "_RefreshDevices",
    "_GetDevicesCount",
    "_CheckDeviceConnection",
    "_GetDeviceIndex",
    "_GetDeviceSernum",
    "_GetDeviceType",
    "_GetDeviceName",
    "_RenameDevice",
    "_OpenDevice",
    "_Run",
    "_InitializeAll",
    "_StopAll",
    "_CloseDevice",
    "_CloseAllDevices",
    "_SM_GetCountInAll",
    "_SM_GetInfoInAll",
    "_SM_ReleaseAll",
    "_SM_GetIndex",
    "_SM_GetCount",
    "_SM_GetType",
    "_SM_GetPosition",
    "_SM_GetRealPosition",
    "_SM_GetTarget",
    "_SMN_GetTarget",
    "_SM_GetZero",
    "_SM_SetDestination",
    "_SM_SetZero",
    "_SMN_SetZero",
    "_SM_Move",
    "_SMN_Move",
    "_SMN_StepMove",
    "_SM_IsRunning",
    "_SMN_IsRunning",
    "_SM_GetInfo",
    "_SM_Stop",
    "_SMN_Stop",
    "_SM_Initialize",
    "_SM_Reset",
    "_SMN_Reset",
    "_SM_Release",
    "_SMN_Release",
    "_SM_Remove",
    "_INF_GetMTypeName",
};
#define NAME_COUNT (sizeof kNames / sizeof kNames[0])

static void *lib;

static void *Sym(const char *name)
{
    void *p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "missing export %s\n", name);
        ++failures;
    }
    return p;
}

/* Typed pointers to the functions this program calls. */
static int (*RefreshDevices)(void);
static bool (*GetDeviceSernum)(unsigned, char *, unsigned);
static void (*CloseAllDevices)(void);
static unsigned (*SM_GetCountInAll)(void);
static bool (*SM_ReleaseAll)(void);
static int (*SM_GetIndex)(unsigned *, unsigned *, const char *, const char *, int);
static int (*SM_GetCount)(unsigned);
static int (*SM_GetType)(unsigned, unsigned, char *, unsigned);
static double (*SM_GetRealPosition)(unsigned, unsigned);
static bool (*SM_SetDestination)(unsigned, unsigned, double);
static bool (*SMN_Move)(const char *, double, bool, int);
static bool (*SM_IsRunning)(unsigned, unsigned);
static int (*SMN_IsRunning)(const char *);
static bool (*Run)(unsigned);
static int (*INF_GetMTypeName)(int, const char **);

static void WriteBoard(const char *serial, uint8_t address, uint8_t type, const char *name)
{
    DeviceSettings block;
    memset(&block, 0, sizeof block);
    for (int i = 0; i < 7; ++i)
        block.MotorSettings[i].Coefficient = 1.0f;
    SMotorSettings *s = &block.MotorSettings[0];
    s->Address = address;
    s->TypeCode = type;
    memcpy(s->Name, name, strnlen(name, sizeof s->Name));
    char path[64];
    snprintf(path, sizeof path, "configs/%s.hws", serial);
    FILE *f = fopen(path, "wb");
    CHECK(f != NULL);
    if (f != NULL) {
        CHECK(fwrite(&block, 1, sizeof block, f) == 289);
        fclose(f);
    }
}

static void SleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* Polls until the motor stops; false after 5 s. */
static bool WaitStopped(unsigned dev, unsigned mot)
{
    for (int i = 0; i < 5000; ++i) {
        if (!SM_IsRunning(dev, mot))
            return true;
        SleepMs(1);
    }
    return false;
}

/* The payloads written to `serial`, concatenated as lowercase hex with one
 * '|' after each write. */
static void TraceOf(const char *trace, const char *serial, char *out, size_t size)
{
    out[0] = 0;
    FILE *f = fopen(trace, "r");
    CHECK(f != NULL);
    if (f == NULL)
        return;
    char line[1024], ser[64], kind[8], hex[900];
    double t;
    while (fgets(line, sizeof line, f) != NULL) {
        if (sscanf(line, "%lf %63s %7s %899s", &t, ser, kind, hex) != 4)
            continue;
        if (strcmp(ser, serial) != 0 || strcmp(kind, "W") != 0)
            continue;
        if (strlen(out) + strlen(hex) + 2 < size) {
            strcat(out, hex);
            strcat(out, "|");
        }
    }
    fclose(f);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s libkinetrax.so\n", argv[0]);
        return 2;
    }
    char dir[] = "/tmp/kx-dlopen-XXXXXX";
    if (mkdtemp(dir) == NULL || chdir(dir) != 0 || mkdir("configs", 0755) != 0) {
        perror("temp dir");
        return 2;
    }
    char trace[128];
    snprintf(trace, sizeof trace, "%s/trace.txt", dir);
    setenv("KINETRAX_FTDI", "sim", 1);
    setenv("KINETRAX_SIM_DEVICES", "TRUV-kq4:SIMA01,TRUV-RZDO:SIMB02", 1);
    setenv("KINETRAX_SIM_TRACE", trace, 1);
    WriteBoard("SIMA01", 1, 0x85, "Lift"); /* X (4wires), channel 0x80 */
    WriteBoard("SIMB02", 2, 0x2A, "Turn"); /* X (synchron), channel 0x90 */

    lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    for (size_t i = 0; i < NAME_COUNT; ++i)
        Sym(kNames[i]);
    /* Nothing but the marked functions is visible. */
    CHECK(dlsym(lib, "_Z17RefreshDeviceListv") == NULL);
    CHECK(dlsym(lib, "DeviceList") == NULL);
    if (failures != 0)
        return 1;

    *(void **)&RefreshDevices = Sym("_RefreshDevices");
    *(void **)&GetDeviceSernum = Sym("_GetDeviceSernum");
    *(void **)&CloseAllDevices = Sym("_CloseAllDevices");
    *(void **)&SM_GetCountInAll = Sym("_SM_GetCountInAll");
    *(void **)&SM_ReleaseAll = Sym("_SM_ReleaseAll");
    *(void **)&SM_GetIndex = Sym("_SM_GetIndex");
    *(void **)&SM_GetCount = Sym("_SM_GetCount");
    *(void **)&SM_GetType = Sym("_SM_GetType");
    *(void **)&SM_GetRealPosition = Sym("_SM_GetRealPosition");
    *(void **)&SM_SetDestination = Sym("_SM_SetDestination");
    *(void **)&SMN_Move = Sym("_SMN_Move");
    *(void **)&SM_IsRunning = Sym("_SM_IsRunning");
    *(void **)&SMN_IsRunning = Sym("_SMN_IsRunning");
    *(void **)&Run = Sym("_Run");
    *(void **)&INF_GetMTypeName = Sym("_INF_GetMTypeName");

    /* A client that has not discovered anything yet. */
    CHECK(SM_GetCount(0) == -1);
    CHECK(SM_GetCountInAll() == 0);
    CHECK(SMN_IsRunning("Lift") == -1);
    CHECK(SM_ReleaseAll());
    CloseAllDevices();

    CHECK(RefreshDevices() == 2);
    char serial[16];
    CHECK(GetDeviceSernum(0, serial, sizeof serial) && strcmp(serial, "SIMA01") == 0);
    CHECK(GetDeviceSernum(1, serial, sizeof serial) && strcmp(serial, "SIMB02") == 0);
    CHECK(SM_GetCountInAll() == 2);
    unsigned dev = 9, mot = 9;
    CHECK(SM_GetIndex(&dev, &mot, "Turn", NULL, -1) == 1 && dev == 1 && mot == 0);
    char type[16];
    CHECK(SM_GetType(0, 0, type, sizeof type) == -123 && strcmp(type, "X (4wires)") == 0);
    const char *name = NULL;
    CHECK(INF_GetMTypeName(133, &name) == 10 && name != NULL && strcmp(name, "X (4wires)") == 0);

    /* One motor by name, polled until it stops. */
    CHECK(SMN_Move("Lift", 5.0, false, 0));
    CHECK(WaitStopped(0, 0));
    CHECK(SM_GetRealPosition(0, 0) == 5.0);
    CHECK(SMN_IsRunning("Lift") == 0);

    /* The other board through a destination and the synchronous start. */
    CHECK(SM_SetDestination(1, 0, 3.0));
    CHECK(Run(1));
    CHECK(WaitStopped(1, 0));
    CHECK(SM_GetRealPosition(1, 0) == 3.0);

    CloseAllDevices();
    CHECK(SM_GetCount(0) == -1);

    /* The boards' settings files hold the positions the motors reached. */
    FILE *f = fopen("configs/SIMA01.hws", "rb");
    CHECK(f != NULL);
    if (f != NULL) {
        DeviceSettings block;
        CHECK(fread(&block, 1, sizeof block, f) == 289);
        fclose(f);
        CHECK(block.MotorSettings[0].Position == 5.0f);
        CHECK(strcmp(block.MotorSettings[0].Name, "Lift") == 0);
    }

    /* What reached the boards: the release at open, then one frame per step. */
    char got[4096];
    TraceOf(trace, "SIMA01", got, sizeof got);
    const char *lift = "80f0fff0fff0fff0fff0fff0fff0|8484f4|8282f2|8181f1|8888f8|8484f4|";
    if (strcmp(got, lift) != 0) {
        fprintf(stderr, "SIMA01 writes:\n  got  %s\n  want %s\n", got, lift);
        ++failures;
    }
    TraceOf(trace, "SIMB02", got, sizeof got);
    const char *turn = "90f0fff0fff0fff0fff0fff0fff0|9292f2|9494f4|9191f1|";
    if (strcmp(got, turn) != 0) {
        fprintf(stderr, "SIMB02 writes:\n  got  %s\n  want %s\n", got, turn);
        ++failures;
    }

    dlclose(lib);
    remove(trace);
    remove("configs/SIMA01.hws");
    remove("configs/SIMB02.hws");
    rmdir("configs");
    if (chdir("/") == 0)
        rmdir(dir);
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("ok: %zu exports, two boards, moves traced\n", NAME_COUNT);
    return 0;
}
