// A serial port on another machine: kestrel against the simulated boot
// program behind Debian's ser2net on loopback (RFC 2217), started and stopped
// by the tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bootsim.h"
#include "images.h"
#include "process.h"
#include "ser2net.h"

namespace
{

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kScale = TEST_TIME_SCALE;

// Every byte value, 0xFF (the Telnet IAC) included, in data and in frames.
Bytes every_byte(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return b;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// A --trace file as the bytes written and the bytes read, times left out.
struct Traffic {
    Bytes written, read;
};

Traffic traffic_of(const std::string &path)
{
    Traffic t;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, dir;
        words >> time >> dir;
        Bytes &to = dir == ">" ? t.written : t.read;
        for (std::string hex; words >> hex;)
            to.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    return t;
}

class Remote : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        const std::string why = testser2net::missing();
        if (!why.empty())
            GTEST_SKIP() << why;
        image = dir.write("fw.mot", testimg::srec({{0x1000, every_byte(3000)},
                                                   {0x20000, testimg::pattern(1024, 9)}}));
    }

    // The simulator behind ser2net.
    void serve(bool pace = false)
    {
        sim = std::make_unique<bootsim::Sim>();
        sim->set_pace(pace);
        ASSERT_TRUE(sim->start());
        ASSERT_TRUE(server.start(sim->slave_path(), dir.path())) << server.log();
    }

    testimg::TempDir dir;
    std::string image;
    std::unique_ptr<bootsim::Sim> sim;
    testser2net::Server server; // stopped before the simulator
};

// The same upgrade on the pseudo-terminal and through ser2net: the same
// output but for the device's name, the same bytes on the line, the same flash.
// The simulator acknowledges the new rate only once ser2net has set its
// terminal to it.
TEST_F(Remote, WholeUpgradeWithNewRateAndVerifyIsALocalRunButForTheName)
{
    bootsim::Sim local;
    ASSERT_TRUE(local.start());
    const std::string local_trace = dir.path() + "/local.trace";
    auto l = testproc::kestrel(
        {"-s", local.slave_path() + ":115200", "-i", image, "-v", "--trace", local_trace});
    local.stop();
    ASSERT_EQ(l.status, 0) << l.out;

    serve();
    const std::string remote_trace = dir.path() + "/remote.trace";
    auto r =
        testproc::kestrel({"-s", server.url("115200"), "-i", image, "-v", "--trace", remote_trace});
    server.stop();
    sim->stop();
    EXPECT_EQ(r.status, 0) << r.out << server.log();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, replace_all(l.out, local.slave_path(), server.url())) << r.out;

    // --trace holds the serial bytes, not the Telnet framing.
    const Traffic lt = traffic_of(local_trace);
    const Traffic rt = traffic_of(remote_trace);
    EXPECT_EQ(rt.written, lt.written);
    EXPECT_EQ(rt.read, lt.read);
    EXPECT_EQ(sim->flash(), local.flash());
}

// Nothing listens on the port: status 253 at once, the reason named.
TEST_F(Remote, RefusedConnectionEndsTheRunWith253)
{
    // A socket bound but not listening keeps the port free of anyone else.
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    auto r = testproc::kestrel({"-s", url, "-i", image});
    close(s);
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.out, "Baud rate 9600 has been set\n\rRetry  0\rFailed to open port " + url +
                         ": Connection refused\nFailed to adjust baud rate\n");
    EXPECT_LT(r.seconds, 5.0 * kScale);
}

// Another client has the port: ser2net says so and closes; kestrel passes
// the server's words on.
TEST_F(Remote, PortAlreadyInUseIsReportedWithTheServersWords)
{
    serve();
    const int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string url = server.url();
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    ASSERT_EQ(connect(other, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    char greeting[64];
    ASSERT_GT(recv(other, greeting, sizeof greeting, 0), 0) << "ser2net took the connection";

    auto r = testproc::kestrel({"-s", url, "-i", image});
    close(other);
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.out, "Baud rate 9600 has been set\n\rRetry  0\rFailed to open port " + url +
                         ": the server closed the connection: Port already in use\n"
                         "Failed to adjust baud rate\n");
    EXPECT_LT(r.seconds, 5.0 * kScale);
}

// ser2net stopped in the middle of programming: the run ends at once as a
// failed programming stage, not after the 15-s time-out.
TEST_F(Remote, ServerStoppedWhileProgrammingEndsTheStageAtOnce)
{
    serve(true);
    const std::string big =
        dir.write("big.mot", testimg::srec({{0, testimg::pattern(64 * 1024, 3)}}));
    Clock::time_point stopped{};
    auto r = testproc::kestrel({"-s", server.url("115200"), "-i", big}, 60000 * kScale, [&](pid_t) {
        if (server.pid() > 0 && sim->programmed_units().size() >= 20) {
            server.stop(SIGTERM);
            stopped = Clock::now();
        }
    });
    const Clock::time_point ended = Clock::now();
    sim->stop();
    ASSERT_NE(stopped, Clock::time_point{}) << r.out;
    EXPECT_EQ(r.status, 249) << r.out;
    const std::string summary = "Error while writing to the flash memory\n";
    ASSERT_GE(r.out.size(), summary.size());
    EXPECT_EQ(r.out.substr(r.out.size() - summary.size()), summary) << r.out;
    EXPECT_LT(std::chrono::duration<double>(ended - stopped).count(), 3.0 * kScale);
}

// ser2net on a pseudo-terminal never answers DTR or RTS and answers every
// break "on": the boot sequence goes on all the same.
TEST_F(Remote, BootSequenceGoesOnWithoutTheServersAnswers)
{
    serve();
    auto r = testproc::kestrel(
        {"-s", server.url(), "-i", image, "--boot", "dtr=1,rts=1,break=5,wait=10,dtr=0,rts=0"});
    server.stop();
    EXPECT_EQ(r.status, 0) << r.out << server.log();
    EXPECT_NE(r.out.find("Baud rate has been adjusted\n"), std::string::npos) << r.out;
    EXPECT_LT(r.seconds, 20.0 * kScale);
}

} // namespace
