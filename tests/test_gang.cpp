// kestrel-gang against three simulated boards at once, one of which refuses a
// programming frame: the table, the results file and the logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bootsim.h"
#include "images.h"
#include "process.h"
#include "ser2net.h"

namespace
{

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Gang, UpgradesEveryBoardAndReportsTheFaultyOne)
{
    // kestrel-gang starts kestrel itself, which an emulator cannot follow
    // without binfmt_misc.
    if (!std::string_view(TARGET_EMULATOR).empty())
        GTEST_SKIP() << "needs the host to run target programs directly";
    testimg::TempDir dir;
    const std::string image =
        dir.write("fw.mot", testimg::srec({{0x1000, testimg::pattern(4096, 5)}}));
    std::vector<std::unique_ptr<bootsim::Sim>> sims;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<bootsim::Sim>());
        if (i == 1)
            sims.back()->add_fault({0x50, 4, bootsim::Fault::Refuse, 0x53});
        ASSERT_TRUE(sims.back()->start());
    }
    const std::string ports[3] = {sims[0]->slave_path() + ":115200", sims[1]->slave_path(),
                                  sims[2]->slave_path() + ":460800"};
    const std::string results = dir.path() + "/results.jsonl";
    const std::string logs = dir.path() + "/logs";
    auto r = testproc::run(GANG_BIN, {"--results", results, "--logs", logs, ports[0], ports[1],
                                      ports[2], "--", "-i", image, "--sum-check"});
    for (auto &s : sims)
        s->stop();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "");

    // The table: one row per port in command-line order, after the header.
    const size_t head = r.out.find("\nPORT ");
    ASSERT_NE(head, std::string::npos) << r.out;
    std::vector<std::vector<std::string>> rows;
    std::istringstream table(r.out.substr(head + 1));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string w; words >> w;)
            row.push_back(w);
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 3u) << r.out;
    const char *status[3] = {"0", "249", "0"};
    const char *failed[3] = {"-", "program", "-"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(ports[i]);
        ASSERT_EQ(rows[i].size(), 6u) << r.out;
        EXPECT_EQ(rows[i][0], ports[i]);
        EXPECT_EQ(rows[i][1], status[i]);
        EXPECT_EQ(rows[i][2], failed[i]);
        EXPECT_EQ(rows[i][3], "3K64");
        EXPECT_EQ(rows[i][5].size(), i == 1 ? 1u : 8u) << "the device's sum, or -";
    }

    auto check =
        testproc::run("/usr/bin/python3",
                      {std::string(SOURCE_DIR) + "/tests/check-events.py", "results", results});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out, ports[0] + "=0\n" + ports[1] + "=249\n" + ports[2] + "=0\n");

    // kestrel's own output, one log per port.
    std::string name = sims[1]->slave_path().substr(1); // "/dev/pts/N" is logged in dev_pts_N.log
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string faulty = read_file(logs + "/" + name + ".log");
    EXPECT_NE(faulty.find("Error while writing to the flash memory\n"), std::string::npos)
        << faulty;
}

// One board on a local port and one behind ser2net: both upgraded, each
// with its own log.
TEST(Gang, TakesAPortOnAnotherMachineBesideALocalOne)
{
    if (!std::string_view(TARGET_EMULATOR).empty())
        GTEST_SKIP() << "needs the host to run target programs directly";
    const std::string why = testser2net::missing();
    if (!why.empty())
        GTEST_SKIP() << why;
    testimg::TempDir dir;
    const std::string image =
        dir.write("fw.mot", testimg::srec({{0x1000, testimg::pattern(4096, 5)}}));
    bootsim::Sim local;
    bootsim::Sim remote;
    ASSERT_TRUE(local.start());
    ASSERT_TRUE(remote.start());
    testser2net::Server server;
    ASSERT_TRUE(server.start(remote.slave_path(), dir.path())) << server.log();
    const std::string ports[2] = {local.slave_path() + ":115200", server.url("115200")};
    const std::string logs = dir.path() + "/logs";
    auto r = testproc::run(GANG_BIN, {"--logs", logs, ports[0], ports[1], "--", "-i", image});
    server.stop();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const size_t head = r.out.find("\nPORT ");
    ASSERT_NE(head, std::string::npos) << r.out;
    const std::string table = r.out.substr(head);
    for (const std::string &port : ports)
        EXPECT_NE(table.find("\n" + port + "  "), std::string::npos) << table;

    std::string name = local.slave_path().substr(1);
    std::replace(name.begin(), name.end(), '/', '_');
    std::string url = server.url().substr(10); // 127.0.0.1:PORT
    std::replace(url.begin(), url.end(), ':', '_');
    for (const std::string &log : {name, "rfc2217_" + url}) {
        SCOPED_TRACE(log);
        EXPECT_NE(read_file(logs + "/" + log + ".log").find("New baud rate has been acknowledged"),
                  std::string::npos);
    }
}

} // namespace
