// The cases of the fault matrix that wait out the 15-s read time-out of the
// programming/erasing state: silence, truncated answers and wrong one-byte
// answers after the transition to that state.
#include <gtest/gtest.h>

#include "fault-matrix.h"

namespace
{

class SlowFaultMatrix : public ::testing::TestWithParam<faultmatrix::Case>
{
};

TEST_P(SlowFaultMatrix, FailsInItsStage)
{
    faultmatrix::run_case(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Commands, SlowFaultMatrix,
                         ::testing::ValuesIn(faultmatrix::cases(faultmatrix::Set::Slow)),
                         [](const auto &info) { return info.param.name; });

} // namespace
