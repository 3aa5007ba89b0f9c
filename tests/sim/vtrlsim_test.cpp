// vtrlsim as the e2e tests meet it: a process whose first stdout line names
// its pseudo-terminal, whose flash lives in a file and whose events are lines.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/image.h"
#include "sim/instrument.h"

extern char** environ;

namespace vtrl::sim {
namespace {

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "vtrlsim_test_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

// One vtrlsim process; stopped with SIGTERM when the test is done with it.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        args.insert(args.begin(), VTRLSIM_PATH);
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VTRLSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        stdout_fd_ = out[0];
    }
    ~SimProcess() {
        Stop();
        if (stdout_fd_ >= 0) {
            close(stdout_fd_);
        }
    }

    // The first stdout line (the pseudo-terminal), waiting up to 10 s.
    std::string FirstLine() {
        std::string line;
        while (line.empty() || line.back() != '\n') {
            pollfd p{stdout_fd_, POLLIN, 0};
            char c;
            if (poll(&p, 1, 10000) <= 0 || read(stdout_fd_, &c, 1) != 1) {
                return "";
            }
            line += c;
        }
        line.pop_back();
        return line;
    }

    // SIGTERM, then the exit status (-1 when it did not exit normally).
    int Stop() {
        if (pid_ <= 0) {
            return status_;
        }
        kill(pid_, SIGTERM);
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_;
    }
    int Wait() {
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int status_ = -1;
};

// Opens the pseudo-terminal as a host would, sends one request and collects
// up to `expect` reply bytes (2 s at most), then closes it again.
std::vector<uint8_t> Exchange(const std::string& pty, const std::vector<uint8_t>& request,
                              size_t expect, int wait_ms = 2000) {
    const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << pty;
        return {};
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    std::vector<uint8_t> got;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (got.size() < expect && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                uint8_t b[300];
                const ssize_t n = read(fd, b, sizeof b);
                if (n > 0) {
                    got.insert(got.end(), b, b + n);
                }
            }
        }
    }
    close(fd);
    return got;
}

TEST(Vtrlsim, ServesTheSerialFramingAndKeepsItsFlashInTheFile) {
    const std::string flash = TempPath("flash.bin");
    const std::string events = TempPath("events.txt");
    std::remove(flash.c_str());
    {
        SimProcess sim({"--version", "1500", "--events", events, "--fault", "no-reply@3", flash});
        const std::string pty = sim.FirstLine();
        ASSERT_FALSE(pty.empty());

        EXPECT_EQ(Exchange(pty, {2, 0, 0}, 5), (std::vector<uint8_t>{2, 0, 0, 0x05, 0xDC}));
        EXPECT_EQ(Exchange(pty, {71, 1, 0, 0, 0}, 3), (std::vector<uint8_t>{71, 0, 1}));
        EXPECT_TRUE(Exchange(pty, {72}, 3, 300).empty()) << "the planned lost reply";
        EXPECT_EQ(Exchange(pty, {72}, 3), (std::vector<uint8_t>{72, 0, 0}));
        // Clear marker word 1 and erase sector 8; the file follows at once.
        EXPECT_EQ(Exchange(pty, {3, 8, 0, 8, 0, 0}, 2), (std::vector<uint8_t>{3, 3}));
        EXPECT_EQ(Exchange(pty, {14, 0, 0}, 3), (std::vector<uint8_t>{14, 0, 1}));
        EXPECT_EQ(Exchange(pty, {16, 0, 8}, 3), (std::vector<uint8_t>{16, 0, 1}));
        const std::vector<uint8_t> live = ReadFile(flash);
        ASSERT_EQ(live.size(), kFlashSize);
        EXPECT_EQ(live[0], 0x00);
        EXPECT_EQ(live[1], 0x00);
        EXPECT_EQ(live[0x10000], 0xFF);
        EXPECT_EQ(Exchange(pty, {99, 1, 2}, 1, 300).size(), 0u);
        EXPECT_EQ(Exchange(pty, {71, 0, 0, 0, 0}, 3), (std::vector<uint8_t>{71, 0, 0}));
        EXPECT_TRUE(Exchange(pty, {3, 6, 0, 0x0F, 0xFF, 0xF0}, 2, 300).empty());
        EXPECT_EQ(sim.Stop(), 0);
    }
    const std::vector<uint8_t> image = ReadFile(flash);
    ASSERT_EQ(image.size(), kFlashSize);
    const uint8_t* record = image.data() + (kCalibrationAddress - kFlashBase);
    EXPECT_TRUE(CalibrationRecordValid(record, kCalibrationSize));
    EXPECT_EQ(image[2], 0xA5) << "marker word 2 untouched";
    EXPECT_EQ(ReadText(events),
              "remote mode on\nprogram 0x80000..0x80001 (1 command)\nerase sector 8\n"
              "refused command 99\nremote mode off\nrestart 0xFFFF0\n");

    // A second run takes the file as it was left: no valid program, so the
    // boot loader answers.
    SimProcess again({"--events", events, flash});
    const std::string pty = again.FirstLine();
    ASSERT_FALSE(pty.empty());
    EXPECT_EQ(Exchange(pty, {2, 0, 0}, 5), (std::vector<uint8_t>{2, 0, 0, 0x03, 0x84}));
    EXPECT_EQ(again.Stop(), 0);
    std::remove(flash.c_str());
    std::remove(events.c_str());
}

TEST(Vtrlsim, RefusesBadUsageAndForeignFiles) {
    const std::string odd = TempPath("odd.bin");
    { std::ofstream(odd, std::ios::binary) << "not a flash image"; }
    SimProcess wrong_size({odd});
    EXPECT_EQ(wrong_size.Wait(), 2);
    EXPECT_EQ(ReadText(odd), "not a flash image") << "a foreign file is left alone";
    std::remove(odd.c_str());

    SimProcess bad_fault({"--fault", "sometimes@3", TempPath("unused.bin")});
    EXPECT_EQ(bad_fault.Wait(), 2);
    SimProcess help({"--help"});
    EXPECT_EQ(help.FirstLine().rfind("Usage: vtrlsim", 0), 0u);
    EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace vtrl::sim
