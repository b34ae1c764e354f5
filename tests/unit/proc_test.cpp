#include "log.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Runs `/bin/sh -c script` through proc_run_cancellable.
int run_sh(const std::string &script, char *out, size_t size, int limit_ms,
           const volatile unsigned char *cancel = nullptr) {
    std::string s = script;
    char *argv[] = {(char *)"sh", (char *)"-c", s.data(), nullptr};
    return proc_run_cancellable("sh", argv, out, size, limit_ms, cancel);
}

std::string temp_dir() {
    char tmpl[] = "/tmp/kiv-proc-XXXXXX";
    const char *d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    return d ? d : "";
}

// The pid a script wrote to a file before it was stopped.
pid_t read_pid(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return -1;
    long v = -1;
    if (fscanf(f, "%ld", &v) != 1)
        v = -1;
    fclose(f);
    return (pid_t)v;
}

struct RunCase {
    const char *name;
    const char *script;
    size_t size;
    int rc;
    std::string output;
};

TEST(ProcRun, CapturesOutputAndStatus) {
    const std::vector<RunCase> cases = {
        {"stdout and stderr", "echo out; echo err >&2", 64, 0, "out\nerr\n"},
        {"exit 3 keeps output", "echo hello; exit 3", 64, -1, "hello\n"},
        {"killed by signal", "echo before; kill -TERM $$", 64, -1, "before\n"},
        {"truncated capture, status decides", "head -c 10000 /dev/zero | tr '\\000' a", 4096, 0,
         std::string(4095, 'a')},
        {"truncated capture, failing status", "head -c 10000 /dev/zero | tr '\\000' b; exit 1",
         4096, -1, std::string(4095, 'b')},
        {"smallest buffer", "echo xyz", 2, 0, "x"},
        {"output closed early, runs on", "echo early; exec >&- 2>&-; sleep 0.3; exit 0", 64, 0,
         "early\n"},
        {"no output", "true", 64, 0, ""},
    };
    for (const RunCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> buf(c.size, '#');
        int rc = run_sh(c.script, buf.data(), buf.size(), 60000);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(std::string(buf.data()), c.output);
    }
}

TEST(ProcRun, TimeLimitKillsAndReaps) {
    std::string dir = temp_dir();
    std::string pidfile = dir + "/pid";
    char buf[256];
    int64_t start = now_ms();
    int rc =
        run_sh("echo started; echo $$ > " + pidfile + "; exec sleep 60", buf, sizeof buf, 3000);
    int64_t elapsed = now_ms() - start;
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(buf, "started\n");
    EXPECT_LT(elapsed, 30000) << "the child was waited for instead of killed";
    pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0);
    // Reaped: the process no longer exists, not even as a zombie of ours.
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    unlink(pidfile.c_str());
    rmdir(dir.c_str());
}

TEST(ProcRun, ZeroTimeLimitStillChecksOnce) {
    char buf[64];
    // A child that outlives one pass is killed at once.
    EXPECT_EQ(run_sh("exec sleep 60", buf, sizeof buf, 0), -1);
    EXPECT_STREQ(buf, "");
}

TEST(ProcRun, CancelFlagFromAnotherThread) {
    std::string dir = temp_dir();
    std::string pidfile = dir + "/pid";
    volatile unsigned char cancel = 0;
    std::thread canceller([&cancel, &pidfile] {
        // Wait until the child is up, then ask for it to stop. Only the
        // lowest bit counts, so the other bits are set too.
        for (int i = 0; i < 3000 && access(pidfile.c_str(), F_OK) != 0; i++)
            usleep(10000);
        usleep(300000); // lets the loop collect what was printed so far
        __atomic_store_n(&cancel, 0xff, __ATOMIC_RELEASE);
    });
    char buf[256];
    int64_t start = now_ms();
    int rc = run_sh("echo running; echo $$ > " + pidfile + "; exec sleep 60", buf, sizeof buf,
                    120000, &cancel);
    int64_t elapsed = now_ms() - start;
    canceller.join();
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(buf, "running\n");
    EXPECT_LT(elapsed, 40000) << "cancellation was not noticed";
    pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), -1);
    unlink(pidfile.c_str());
    rmdir(dir.c_str());
}

TEST(ProcRun, CancelBitsOtherThanLowestAreIgnored) {
    volatile unsigned char cancel = 0xfe;
    char buf[64];
    EXPECT_EQ(run_sh("sleep 0.2; echo done", buf, sizeof buf, 60000, &cancel), 0);
    EXPECT_STREQ(buf, "done\n");
}

TEST(ProcRun, MissingProgramGivesEmptyText) {
    char buf[64];
    memset(buf, '#', sizeof buf);
    char *argv[] = {(char *)"kiv-no-such-program", nullptr};
    EXPECT_EQ(proc_run("kiv-no-such-program", argv, buf, sizeof buf, 1000), -1);
    EXPECT_STREQ(buf, "");
}

TEST(ProcRun, TooSmallBufferStartsNothing) {
    std::string dir = temp_dir();
    std::string marker = dir + "/started";
    std::string script = "touch " + marker;
    char *argv[] = {(char *)"sh", (char *)"-c", script.data(), nullptr};
    char buf[1] = {'#'};
    EXPECT_EQ(proc_run("sh", argv, buf, sizeof buf, 1000), -1);
    EXPECT_EQ(proc_run("sh", argv, nullptr, 64, 1000), -1);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the program was started";
    rmdir(dir.c_str());
}

// Gone, or a zombie left for whoever adopted it.
bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0)
        return errno == ESRCH;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return true;
    char line[512] = "";
    bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char *end = strrchr(line, ')');
    return !read || (end && end[1] == ' ' && end[2] == 'Z');
}

TEST(ProcRun, ChildDiesWithItsCaller) {
    // A conversion runs in a worker thread; the shell is run from the main one.
    for (bool from_thread : {false, true}) {
        SCOPED_TRACE(from_thread ? "from another thread" : "from the main thread");
        std::string dir = temp_dir();
        std::string pidfile = dir + "/pid";
        pid_t caller = fork();
        ASSERT_GE(caller, 0);
        if (caller == 0) {
            // The caller is killed while its child is stuck for a minute.
            auto run = [&pidfile] {
                char buf[64];
                run_sh("echo $$ > " + pidfile + ".tmp; mv " + pidfile + ".tmp " + pidfile +
                           "; exec sleep 60",
                       buf, sizeof buf, 120000);
            };
            if (from_thread)
                std::thread(run).join();
            else
                run();
            _exit(0);
        }
        pid_t child = -1;
        for (int i = 0; i < 1000 && child <= 0; i++) {
            usleep(10000);
            child = read_pid(pidfile);
        }
        ASSERT_GT(child, 0);
        ASSERT_EQ(kill(caller, SIGKILL), 0);
        ASSERT_EQ(waitpid(caller, nullptr, 0), caller);
        bool gone = false;
        for (int i = 0; i < 500 && !(gone = process_gone(child)); i++)
            usleep(10000);
        EXPECT_TRUE(gone) << "the child outlived its caller";
        if (!gone)
            kill(child, SIGKILL);
        unlink(pidfile.c_str());
        rmdir(dir.c_str());
    }
}

TEST(ProcSpawn, StartsAndHandsOverTheChild) {
    char *argv[] = {(char *)"sh", (char *)"-c", (char *)"exit 7", nullptr};
    pid_t pid = -1;
    ASSERT_EQ(proc_spawn("sh", argv, &pid), 0);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);

    char *missing[] = {(char *)"kiv-no-such-program", nullptr};
    pid = -1;
    EXPECT_EQ(proc_spawn("kiv-no-such-program", missing, &pid), -1);
    EXPECT_EQ(pid, -1);
}

} // namespace
