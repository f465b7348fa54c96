#include <gtest/gtest.h>

#include "scratch.h"

int main(int argc, char** argv) {
    testing_support::SetTestProgramPath(argv[0]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
