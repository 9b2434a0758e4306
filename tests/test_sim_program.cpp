// The h8s-bootsim program: the path line on standard output, --once, --dump,
// --link, --fault, a clean exit on SIGTERM and its option errors.
#include "process.h"
#include "sim-client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using simclient::Bytes;
using simclient::Client;

namespace
{

// The simulator as a child process, its standard output and error in pipes.
class Program
{
  public:
    explicit Program(const std::vector<std::string> &args)
    {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        std::vector<std::string> words = testproc::target_command(BOOTSIM_BIN);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            ::close(out[0]);
            ::close(err[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program()
    {
        if (pid_ > 0 && status_ == -2) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    // Everything the program wrote on a stream until it closed it or
    // timeout_ms passed.
    std::string drain(bool from_out, int timeout_ms = 3000)
    {
        int fd = from_out ? out_ : err_;
        std::string s;
        char buf[512];
        pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) > 0) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            s.append(buf, size_t(n));
        }
        return s;
    }
    std::string first_line(int timeout_ms = 3000)
    {
        std::string s;
        char c;
        pollfd p = {out_, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) > 0 && ::read(out_, &c, 1) == 1 && c != '\n')
            s += c;
        return s;
    }
    // Exit status, or -1 when it did not exit by itself within timeout_ms.
    int wait(int timeout_ms = 3000)
    {
        for (int t = 0; t < timeout_ms; t += 10) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return status_;
            }
            usleep(10000);
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -2;
};

std::string temp_path(const char *name)
{
    return std::string(BINARY_DIR) + "/test_sim_program-" + std::to_string(getpid()) + "-" + name;
}

Bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

TEST(SimProgram, OnceServesOneSessionThenDumpsTheFlash)
{
    std::string link = temp_path("link"), dump = temp_path("dump");
    Program p({"--once", "--erased", "--unit", "64", "--link", link, "--dump", dump});
    std::string path = p.first_line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    Bytes unit(64);
    for (size_t i = 0; i < unit.size(); i++)
        unit[i] = uint8_t(i * 3);
    {
        Client c(link);
        ASSERT_TRUE(simclient::to_select_state(c));
        ASSERT_EQ(c.exchange({0x43}, 1), Bytes{0x06});
        Bytes d{0, 0, 0, 0x40};
        d.resize(4 + unit.size());
        std::copy(unit.begin(), unit.end(), d.begin() + 4);
        ASSERT_EQ(c.exchange(simclient::frame_nosize(0x50, d), 1), Bytes{0x06});
        ASSERT_EQ(c.exchange({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), Bytes{0x06});
    }
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.drain(true), "") << "the path is the only line on standard output";
    EXPECT_NE(p.drain(false).find("1 units programmed"), std::string::npos);
    Bytes flash = read_file(dump);
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_EQ(Bytes(flash.begin() + 0x40, flash.begin() + 0x80), unit);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), long(flash.size() - 64));
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at exit";
    unlink(dump.c_str());
}

TEST(SimProgram, TerminatesCleanlyOnSigterm)
{
    std::string dump = temp_path("term");
    Program p({"--seed", "7", "--dump", dump, "--fault", "27:0:garble:0x99"});
    std::string path = p.first_line();
    {
        Client c(path);
        ASSERT_TRUE(simclient::sync(c));
        EXPECT_EQ(c.exchange({0x27}, 5), (Bytes{0x99, 0x02, 0x00, 0x80, 0x47}));
    }
    EXPECT_EQ(p.wait(300), -1) << "serves on without --once";
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    Bytes flash = read_file(dump);
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), 0) << "seeded data, never 0xFF";
    unlink(dump.c_str());
}

TEST(SimProgram, OptionErrorsAndHelp)
{
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--help"}, 0},        {{"--fault", "27:1:nonsense"}, 2},
        {{"--fault", "27"}, 2}, {{"--fault", "127:1:silence"}, 2},
        {{"--unit", "x"}, 2},   {{"--bogus"}, 2},
        {{"extra"}, 2},
    };
    for (const auto &c : cases) {
        Program p(c.args);
        std::string out = p.drain(true);
        EXPECT_EQ(p.wait(), c.status) << c.args[0];
        EXPECT_EQ(out.find("Usage") != std::string::npos, c.status == 0) << c.args[0];
    }
}

} // namespace
