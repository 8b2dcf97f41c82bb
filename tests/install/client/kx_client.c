/*
 * kx_client.c - a small program outside the project that uses the installed
 * libkinetrax.so: gives the first simulated board a motor in its settings
 * file, finds the two boards of the simulated bus, moves the motor, waits for
 * it to stop and shuts the driver down. The install test builds it with
 * pkg-config and with find_package(kinetrax) and runs it in an empty
 * directory with KINETRAX_FTDI=sim. Prints "ok" and exits 0 when all went as
 * expected.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <kinetrax.h>

static int Fail(const char *what)
{
    fprintf(stderr, "kx_client: %s\n", what);
    return 1;
}

int main(void)
{
    /* Motor "Lift" (type X (4wires), channel 1) in slot 0 of board SIM0001. */
    DeviceSettings board;
    memset(&board, 0, sizeof board);
    SMotorSettings *m = &board.MotorSettings[0];
    m->Address = 1;
    m->TypeCode = 0x85;
    m->Coefficient = 1.0f;
    memcpy(m->Name, "Lift", 4);
    FILE *f = NULL;
    if (mkdir("configs", 0755) != 0 || (f = fopen("configs/SIM0001.hws", "wb")) == NULL)
        return Fail("cannot create configs/SIM0001.hws");
    size_t written = fwrite(&board, 1, sizeof board, f);
    if (fclose(f) != 0 || written != sizeof board)
        return Fail("cannot write configs/SIM0001.hws");

    if (_RefreshDevices() != 2)
        return Fail("_RefreshDevices did not list the two simulated boards");
    char serial[16];
    if (!_GetDeviceSernum(0, serial, sizeof serial) || strcmp(serial, "SIM0001") != 0)
        return Fail("the first board is not SIM0001");
    if (_SM_GetCount(0) != 1)
        return Fail("SIM0001 does not have its one motor");

    if (!_SM_Move(0, 0, 5.0))
        return Fail("_SM_Move refused");
    struct timespec ms = {0, 1000000L};
    for (int i = 0; i < 5000 && _SM_IsRunning(0, 0); ++i)
        nanosleep(&ms, NULL);
    if (_SM_IsRunning(0, 0) || _SM_GetPosition(0, 0) != 5.0)
        return Fail("the motor did not reach 5.0 within 5 s");

    _CloseAllDevices();
    if (_SM_GetCount(0) != -1)
        return Fail("a board is still open after _CloseAllDevices");
    printf("ok: two boards listed, Lift moved to 5.0, devices closed\n");
    return 0;
}
