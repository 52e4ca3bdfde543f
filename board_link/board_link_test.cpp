#include "board_link.h"
#include <gtest/gtest.h>
TEST(BoardLink, Placeholder) {}
