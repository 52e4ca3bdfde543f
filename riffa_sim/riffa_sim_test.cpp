#include <gtest/gtest.h>
TEST(RiffaSim, Placeholder) {}
