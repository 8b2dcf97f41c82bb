/*
 * exit_linked.c - a program linked with libkinetrax.so (-lkinetrax) and with
 * another library that calls the C library's _Exit(int). The other library's
 * call still ends the process with its status, while this program's own
 * reference to "_Exit" (KxExit in kinetrax.h) reaches the driver's shut-down,
 * which closes the boards and returns.
 *
 * Runs in a temporary directory on the simulated bus; exit status 0 when all
 * checks pass.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kinetrax.h"
#include "ccheck.h"

void OtherLibraryExit(int status);

/* Status of a child that runs `body`; -1 when it did not exit normally. */
static int ChildStatus(void (*body)(void))
{
    fflush(NULL);
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(99); /* the body returned */
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

static void OtherExitsWithFive(void) { OtherLibraryExit(5); }

static void OtherExitsWithFiveWhileBoardsAreOpen(void)
{
    if (_RefreshDevices() != 2)
        _exit(98);
    OtherLibraryExit(5);
}

int main(void)
{
    char dir[] = "/tmp/kx-exit-XXXXXX";
    if (mkdtemp(dir) == NULL || chdir(dir) != 0) {
        perror("temporary directory");
        return 2;
    }
    setenv("KINETRAX_FTDI", "sim", 1);
    unsetenv("KINETRAX_SIM_DEVICES"); /* the two default boards */

    /* Another library's _Exit(5) ends the process with status 5. */
    CHECK(ChildStatus(OtherExitsWithFive) == 5);
    CHECK(ChildStatus(OtherExitsWithFiveWhileBoardsAreOpen) == 5);

    /* This program's own _Exit is the library's: it closes the boards and
     * returns. dlsym finds the same function. */
    CHECK(_RefreshDevices() == 2);
    CHECK(_GetDeviceIndex("SIM0001") == 0);
    void *const exitByName = dlsym(RTLD_DEFAULT, "_Exit");
    CHECK(exitByName == (void *)&KxExit);
    KxExit();
    CHECK(_GetDeviceIndex("SIM0001") == -1);
    CHECK(access("configs/SIM0001.hws", F_OK) == 0);

    /* The default version of the name in the library is the library's. */
    Dl_info where;
    CHECK(dladdr((void *)&KxExit, &where) != 0);
    void *lib = dlopen(where.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    CHECK(lib != NULL);
    if (lib != NULL) {
        CHECK(dlvsym(lib, "_Exit", "KINETRAX_1.0") == (void *)&KxExit);
        dlclose(lib);
    }

    unlink("configs/SIM0001.hws");
    unlink("configs/SIM0002.hws");
    rmdir("configs");
    chdir("/");
    rmdir(dir);
    if (failures > 0)
        fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
