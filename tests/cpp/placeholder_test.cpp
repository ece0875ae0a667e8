#include <gtest/gtest.h>
TEST(Build, Runs) { SUCCEED(); }
