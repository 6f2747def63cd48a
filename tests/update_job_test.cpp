// Whole update runs of the engine against the scripted host, tick by tick.
#include <gtest/gtest.h>

#include "tests/support/scripted_host.h"

namespace {
TEST(UpdateJob, Placeholder) { SUCCEED(); }
} // namespace
