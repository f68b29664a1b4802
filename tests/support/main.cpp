// Test entry: refuses to run outside the sandbox, whose private /run, /mnt and
// /dev keep the tests away from the machine's own paths.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/sandbox.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !tw_test::in_sandbox()) {
        std::fprintf(stderr, "run the tests inside scripts/sandbox.sh (as scripts/test.sh does)\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
