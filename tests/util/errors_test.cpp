#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "util/errors.h"

TEST(tiller_strerror, boundaries_of_the_table) {
    EXPECT_STREQ(tiller_strerror(0), "Success");
    EXPECT_STREQ(tiller_strerror(-100), "Failed");
    EXPECT_STREQ(tiller_strerror(100), "Failed");
    EXPECT_STREQ(tiller_strerror(-161), "File too small");
    EXPECT_STREQ(tiller_strerror(161), "File too small");
    EXPECT_STREQ(tiller_strerror(-162), "Unknown error");
    EXPECT_STREQ(tiller_strerror(162), "Unknown error");
    EXPECT_STREQ(tiller_strerror(-121), "Daemon - tiller connection failed");
    EXPECT_STREQ(tiller_strerror(-114), "Zelta parameters file error");
    EXPECT_STREQ(tiller_strerror(-133), "child failed");
}

TEST(tiller_strerror, codes_below_the_table_and_beyond_it_are_unknown) {
    for (int c : {-99, -1, 1, 99, -500, 500, INT_MIN, INT_MAX}) {
        EXPECT_STREQ(tiller_strerror(c), "Unknown error") << c;
    }
}

TEST(err_table, codes_agree_with_positions) {
    ASSERT_EQ(err_table.size(), 64u);
    EXPECT_EQ(err_table[0].code, 0);
    for (size_t i = 1; i < err_table.size(); ++i) {
        EXPECT_EQ(err_table[i].code, static_cast<int32_t>(99 + i)) << i;
        EXPECT_STREQ(tiller_strerror(-err_table[i].code), err_table[i].text);
        EXPECT_NE(std::strlen(err_table[i].text), 0u);
    }
}
