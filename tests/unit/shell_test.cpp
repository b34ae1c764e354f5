#include "log.h"
#include "shell.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Stand-ins for the theme's shell program: each records its arguments (and
// which copy ran) into a file, then behaves as told.
const char kSucceeds[] = "printf '%s %s\\n' \"$0\" \"$*\" > \"$RECORD\"\nexit 0\n";
const char kFailsLoudly[] =
    "printf '%s %s\\n' \"$0\" \"$*\" > \"$RECORD\"\necho 'plugin tarvine.background not found'\n"
    "exit 1\n";
const char kHangs[] = "echo $$ > \"$RECORD\"\nexec /bin/sleep 60\n";

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiv-shell-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        record_ = root_ + "/record";
        path_.emplace("PATH");
        tarvine_path_.emplace("TARVINE_PATH");
        setenv("RECORD", record_.c_str(), 1);
        log_set_identity("shell_test", LOG_INFO);
    }
    void TearDown() override {
        // Restored first: the clean-up below runs rm from PATH.
        path_.reset();
        tarvine_path_.reset();
        unsetenv("RECORD");
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Writes dir/tarvine-shell with body and returns its path.
    std::string install(const std::string &dir, const char *body) {
        std::string cmd = "mkdir -p '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        std::string path = dir + "/tarvine-shell";
        std::ofstream f(path);
        f << "#!/bin/sh\n" << body;
        f.close();
        EXPECT_EQ(chmod(path.c_str(), 0755), 0);
        return path;
    }

    std::string record() {
        std::ifstream f(record_);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    // Runs the switch and returns its result with everything it logged.
    int run(bool enable, std::string *log, uint64_t *last_failure = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = shell_set_background(enable, last_failure);
        *log = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string root_, record_;
    std::optional<EnvGuard> path_, tarvine_path_;
};

TEST_F(ShellTest, PathCopyWinsOverTarvinePath) {
    std::string first = install(root_ + "/path-a", kSucceeds);
    install(root_ + "/tarvine/bin", kFailsLoudly);
    // Empty entries and a directory without the program are skipped.
    std::string path = "::" + root_ + "/empty:" + root_ + "/path-a";
    setenv("PATH", path.c_str(), 1);
    setenv("TARVINE_PATH", (root_ + "/tarvine").c_str(), 1);

    std::string log;
    EXPECT_EQ(run(true, &log), 0);
    EXPECT_EQ(record(), first + " shell setPluginEnabled tarvine.background true\n");
    EXPECT_NE(log.find("INFO"), std::string::npos) << log;
    EXPECT_NE(log.find("shell background enabled\n"), std::string::npos) << log;
}

TEST_F(ShellTest, TarvinePathBinWhenNotOnPath) {
    std::string copy = install(root_ + "/tarvine/bin", kSucceeds);
    setenv("PATH", (root_ + "/nothing-here").c_str(), 1);
    setenv("TARVINE_PATH", (root_ + "/tarvine").c_str(), 1);

    std::string log;
    EXPECT_EQ(run(false, &log), 0);
    EXPECT_EQ(record(), copy + " shell setPluginEnabled tarvine.background false\n");
    EXPECT_NE(log.find("shell background disabled\n"), std::string::npos) << log;
}

TEST_F(ShellTest, NowhereFailsWithCommandFailed) {
    setenv("PATH", (root_ + "/nothing-here").c_str(), 1);
    unsetenv("TARVINE_PATH");

    std::string log;
    EXPECT_EQ(run(true, &log), -1);
    EXPECT_NE(log.find("WARN"), std::string::npos) << log;
    EXPECT_NE(log.find("shell background enable failed: command failed\n"), std::string::npos)
        << log;
}

TEST_F(ShellTest, FailureCarriesTheProgramsOutput) {
    install(root_ + "/bin", kFailsLoudly);
    setenv("PATH", (root_ + "/bin").c_str(), 1);

    std::string log;
    EXPECT_EQ(run(false, &log), -1);
    EXPECT_NE(log.find("shell background disable failed: plugin tarvine.background not found"),
              std::string::npos)
        << log;
}

TEST_F(ShellTest, TheSameFailureWarnsOnce) {
    std::string loud = install(root_ + "/bin", kFailsLoudly);
    // The system's directories stay for the stand-ins written below.
    setenv("PATH", (root_ + "/bin:/usr/bin:/bin").c_str(), 1);
    const char *again = "shell background enable failed: plugin tarvine.background not found";
    uint64_t last = 0;
    std::string log;
    EXPECT_EQ(run(true, &log, &last), -1);
    EXPECT_NE(log.find(std::string("WARN ") + "src/daemon/shell.cpp"), std::string::npos) << log;
    EXPECT_NE(log.find(again), std::string::npos) << log;
    EXPECT_NE(last, 0u);
    EXPECT_EQ(run(true, &log, &last), -1);
    EXPECT_EQ(log, "");
    // Another outcome is said again, and a success forgets the failure.
    ASSERT_EQ(unlink(loud.c_str()), 0);
    EXPECT_EQ(run(true, &log, &last), -1);
    EXPECT_NE(log.find("shell background enable failed: command failed"), std::string::npos) << log;
    install(root_ + "/bin", kSucceeds);
    EXPECT_EQ(run(true, &log, &last), 0);
    EXPECT_EQ(last, 0u);
    install(root_ + "/bin", kFailsLoudly);
    EXPECT_EQ(run(true, &log, &last), -1);
    EXPECT_NE(log.find(again), std::string::npos) << log;
}

TEST(ShellRetryDelay, DoublesUpToTenMinutes) {
    const struct {
        int failures;
        int64_t delay_ms;
    } cases[] = {{1, 30000}, {2, 60000}, {3, 120000}, {5, 480000}, {6, 600000}, {40, 600000}};
    for (const auto &c : cases)
        EXPECT_EQ(shell_retry_delay_ms(c.failures), c.delay_ms) << c.failures;
}

TEST_F(ShellTest, HangingProgramIsKilled) {
    install(root_ + "/bin", kHangs);
    setenv("PATH", (root_ + "/bin").c_str(), 1);

    std::string log;
    EXPECT_EQ(run(true, &log), -1);
    EXPECT_NE(log.find("shell background enable failed: command failed"), std::string::npos) << log;
    // The stand-in exec'd into sleep under the same pid; it must be gone.
    int pid = atoi(record().c_str());
    ASSERT_GT(pid, 0);
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

} // namespace
