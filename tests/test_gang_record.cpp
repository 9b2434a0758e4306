// kestrel-gang's reading of kestrel's record, one row per kind of line.
#include <gtest/gtest.h>

#include <string>

#include "gang-record.h"

namespace
{

struct record_case_t {
    const char *name;
    const char *line;
    bool began;        // take_record_line's result
    const char *stage; // the view afterwards, from a view in stage "erase" at 40 %
    int percent;       // with code "0123" and 1 recovery
    unsigned recoveries;
    const char *code;
    bool result; // the line became the result
};

const record_case_t record_cases[] = {
    {"StageBegins", R"({"event":"stage","t":0.1,"stage":"program","state":"begin"})", true,
     "program", -1, 1, "0123", false},
    {"StageEndsChangesNothing",
     R"({"event":"stage","t":0.1,"stage":"erase","state":"end","ok":true})", false, "erase", 40, 1,
     "0123", false},
    {"Progress", R"({"event":"progress","t":0.2,"stage":"erase","percent":75,"done":3,"total":4})",
     false, "erase", 75, 1, "0123", false},
    {"Device", R"({"event":"device","t":0.3,"code":"ABCD","name":"x","flash_size":1024})", false,
     "erase", 40, 1, "ABCD", false},
    {"Recovery", R"({"event":"recovery","t":0.4,"stage":"erase","command":88,"try":1})", false,
     "erase", 40, 2, "0123", false},
    {"Result", R"({"event":"result","t":0.5,"status":0,"failed_stage":null})", false, "erase", 40,
     1, "0123", true},
    // A key inside a string value is no key: the image named "event" is not an event.
    {"KeyInsideAStringIsNoKey", R"({"name":"\"event\":\"stage\"","event":"start","t":0})", false,
     "erase", 40, 1, "0123", false},
    {"CutLineChangesNothing", R"({"event":"stage","stage":"prog)", false, "erase", 40, 1, "0123",
     false},
    {"NotAnObject", R"(["event","stage"])", false, "erase", 40, 1, "0123", false},
};

class RecordLine : public testing::TestWithParam<record_case_t>
{
};

TEST_P(RecordLine, UpdatesTheView)
{
    const record_case_t &c = GetParam();
    run_view_t v;
    v.stage = "erase";
    v.percent = 40;
    v.recoveries = 1;
    v.code = "0123";
    EXPECT_EQ(take_record_line(v, c.line), c.began);
    EXPECT_EQ(v.stage, c.stage);
    EXPECT_EQ(v.percent, c.percent);
    EXPECT_EQ(v.recoveries, c.recoveries);
    EXPECT_EQ(v.code, c.code);
    EXPECT_EQ(v.result, c.result ? c.line : "");
}

INSTANTIATE_TEST_SUITE_P(GangRecord, RecordLine, testing::ValuesIn(record_cases),
                         [](const testing::TestParamInfo<record_case_t> &i) {
                             return std::string(i.param.name);
                         });

TEST(GangRecord, ResultFieldsOfKestrelsResult)
{
    const std::string failed =
        R"({"event":"result","status":249,"failed_stage":"program","sum":null})";
    EXPECT_EQ(result_failed_stage(failed), "program");
    EXPECT_EQ(result_device_sum(failed), "");
    const std::string ok = R"({"event":"result","status":0,"failed_stage":null,)"
                           R"("sum":{"device":"0001F2A0","expected":"0001F2A0"}})";
    EXPECT_EQ(result_failed_stage(ok), "");
    EXPECT_EQ(result_device_sum(ok), "0001F2A0");
}

TEST(GangRecord, FallbackResultHasKestrelsFields)
{
    EXPECT_EQ(fallback_result(R"("port":"/dev/ttyS1")", 127, 0.25),
              R"({"port":"/dev/ttyS1","event":"result","t":0.250,"status":127,)"
              R"("failed_stage":null,"erased_blocks":0,"programmed_units":0,"skipped_units":0,)"
              R"("bytes_loaded":0,"sum":null,"seconds":0.250})");
}

} // namespace
