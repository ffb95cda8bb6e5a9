#include "cli/delta.h"

#include <gtest/gtest.h>

#include "install/delta.h"
#include "support/noise.h"

namespace {

// Encoder and decoder agree on files that differ in the ways releases do.
TEST(Delta, EncodedDeltasRebuildTheNewFile) {
    const std::string noise = testdata::Noise(300000);
    std::string scattered = noise;
    for (size_t i = 0; i < scattered.size(); i += 997)
        scattered[i] = static_cast<char>(scattered[i] + 1);
    std::string shifted = noise.substr(0, 1000) + "inserted text" + noise.substr(1000, 200000) + noise.substr(250000);
    struct Row {
        const char* why;
        std::string old, now;
        size_t atMost;  // bytes the delta may take
    } rows[] = {
        {"both empty", "", "", 100},
        {"from nothing", "", "abc", 100},
        {"to nothing", "abc", "", 100},
        {"the same", noise, noise, 120},
        {"a few bytes changed all over", noise, scattered, 300000 + 2000},
        {"bytes inserted and a stretch removed", noise, shifted, 300},
        {"unrelated", noise.substr(0, 5000), noise.substr(7000, 6000), 6200},
        {"repetitive", std::string(70000, 'a') + "b", std::string(30000, 'a') + "c" + std::string(50000, 'a'), 200},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        const std::string delta = ovpatch::MakeDelta(row.old, row.now);
        EXPECT_LE(delta.size(), row.atMost);
        std::string out;
        EXPECT_EQ(mDelta::RebuildBytes(row.old, delta, out), mDelta::Result::Done);
        EXPECT_TRUE(out == row.now);
    }
}

}  // namespace
