#include <gtest/gtest.h>

#include "MSocketSupport.h"

TEST(Smoke, Builds) { SUCCEED(); }
