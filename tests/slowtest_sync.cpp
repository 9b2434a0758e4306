// Synchronisation that never succeeds: the tool gives up after 30 tries,
// closes the port and ends with the synchronisation status. Each case waits
// out the whole give-up, about 30 s.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "bootsim.h"
#include "images.h"
#include "process.h"

namespace
{

using bootsim::Fault;

constexpr int kTries = 30;

struct GiveUp {
    const char *name;
    bootsim::FaultSpec fault; // occurrence 0: every time
    double min_seconds;       // the waits and pauses the tries must take
};

void PrintTo(const GiveUp &c, std::ostream *os)
{
    *os << c.name;
}

class SyncGivesUp : public ::testing::TestWithParam<GiveUp>
{
};

TEST_P(SyncGivesUp, AfterThirtyTries)
{
    const GiveUp &c = GetParam();
    testimg::TempDir dir;
    const std::string image = dir.write("fw.mot", testimg::srec({{0, testimg::pattern(16, 1)}}));
    bootsim::Sim sim;
    sim.add_fault(c.fault);
    ASSERT_TRUE(sim.start());
    const auto r = testproc::kestrel({"-s", sim.slave_path(), "-i", image}, 120000);
    sim.stop();

    std::string want = "Baud rate 9600 has been set\n";
    char retry[16];
    for (int n = 0; n < kTries; ++n) {
        snprintf(retry, sizeof retry, "\rRetry %2i\r", n);
        want += retry;
    }
    want += "\nFailed to adjust baud rate\n";

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
    EXPECT_GE(r.seconds, c.min_seconds);
    EXPECT_TRUE(sim.frames().empty()) << "nothing may follow a failed synchronisation";
}

INSTANTIATE_TEST_SUITE_P(Lines, SyncGivesUp,
                         ::testing::Values(
                             // 1000 ms for each answer to 0x00, the next try at once.
                             GiveUp{"SilentLine", {0x00, 0, Fault::Silence}, kTries * 1.0},
                             // 0x00 answered, 0x55 answered wrongly: a 1-s pause after each try.
                             GiveUp{
                                 "WrongAnswerTo55", {0x55, 0, Fault::Garble, 0xFF}, kTries * 1.0}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
