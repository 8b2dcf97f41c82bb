// ordomat_run_test.cpp - one end-to-end run of the real ordomat binary on the
// offscreen platform and the simulated bus, in a demo folder laid down by
// ordomat-demo: it lists the demo tables, "Manager" > "Close" reaches the
// driver's shut-down (the boards' settings files are written), and SIGTERM
// ends it with status 0, nothing on stderr, and the boards saved at unload.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits up to 30 s until `file` holds a line starting with `prefix`.
bool WaitFor(const fs::path &file, const std::string &prefix, pid_t pid)
{
    for (int i = 0; i < 600; ++i) {
        std::istringstream lines(Slurp(file));
        for (std::string l; std::getline(lines, l);)
            if (l.rfind(prefix, 0) == 0)
                return true;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ADD_FAILURE() << "ordomat ended early, status " << status;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// What the program wrote to stderr, without the offscreen platform's notes
// on what it can't do ("This plugin does not support raise()", ...).
std::string Diagnostics(const std::string &text)
{
    std::istringstream lines(text);
    std::string kept;
    for (std::string l; std::getline(lines, l);)
        if (l.rfind("This plugin does not support ", 0) != 0)
            kept += l + "\n";
    return kept;
}

void MakeOld(const fs::path &p)
{
    struct timeval tv[2] = {{946684800, 0}, {946684800, 0}};   // 2000-01-01
    ASSERT_EQ(utimes(p.c_str(), tv), 0) << p;
}

bool IsNew(const fs::path &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && st.st_mtime > 978307200;   // after 2001-01-01
}

}   // namespace

TEST(OrdomatRun, ListsTablesShutsDownAndQuitsOnRequest)
{
    char tmpl[] = "/tmp/ordomat-run-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path demo = tmpl;
    ASSERT_EQ(std::system(("'" ORDOMAT_DEMO "' '" + demo.string() + "'").c_str()), 0);
    const fs::path hws1 = demo / "configs/SIM0001.hws", hws2 = demo / "configs/SIM0002.hws";
    ASSERT_EQ(fs::file_size(hws1), 289u);
    ASSERT_EQ(fs::file_size(hws2), 289u);
    MakeOld(hws1);
    MakeOld(hws2);
    const fs::path out = demo / "probe.txt", err = demo / "stderr.txt", runtime = demo / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(demo.c_str()) != 0)
            _exit(120);
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        dup2(fd, 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);   // else Qt warns that it has none
        setenv("KINETRAX_FTDI", "sim", 1);
        unsetenv("KINETRAX_SIM_DEVICES");
        setenv("LD_LIBRARY_PATH", PROBE_DIR, 1);   // the probe in place of libgridmod.so
        setenv("ORDOMAT_PROBE_OUT", out.c_str(), 1);
        execl(ORDOMAT_BIN, "ordomat", (char *)nullptr);
        _exit(121);
    }

    bool listed = WaitFor(out, "closed", pid);
    EXPECT_TRUE(listed) << Slurp(out) << Slurp(err);
    if (listed) {
        EXPECT_TRUE(IsNew(hws1));
        EXPECT_TRUE(IsNew(hws2));
        bool reopened = WaitFor(out, "reopened", pid);
        EXPECT_TRUE(reopened) << Slurp(out);
        MakeOld(hws1);
        MakeOld(hws2);
    }
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) != pid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (kill(pid, 0) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "ordomat did not end on SIGTERM";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(Diagnostics(Slurp(err)), "");
    EXPECT_EQ(Slurp(out), "row Left table=0\nrow Right table=1\nmotors 5\n_CloseTableWin\n"
                          "closed motors 0\nreopened motors 5\n");
    EXPECT_TRUE(IsNew(hws1));
    EXPECT_TRUE(IsNew(hws2));
    fs::remove_all(demo);
}
