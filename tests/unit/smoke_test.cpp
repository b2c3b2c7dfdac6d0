#include <gtest/gtest.h>
#include "settings/settings.h"
TEST(Smoke, RecordSize) { EXPECT_EQ(sizeof(ConfigRecord), 1660u); }
