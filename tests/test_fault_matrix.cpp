// Whole upgrades with one fault in the answer to one command: every command,
// every fault that fits it. The cases that sit out a 15-s read time-out live
// in slowtest_fault_matrix.cpp, but for silence at a few representative
// commands.
#include <gtest/gtest.h>

#include "fault-matrix.h"

namespace
{

class FaultMatrix : public ::testing::TestWithParam<faultmatrix::Case>
{
};

TEST_P(FaultMatrix, FailsInItsStageOrRecovers)
{
    faultmatrix::run_case(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultMatrix,
                         ::testing::ValuesIn(faultmatrix::cases(faultmatrix::Set::Default)),
                         [](const auto &info) { return info.param.name; });

} // namespace
