#include "install/delta_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/delta_by_hand.h"
#include "support/handles_win.h"
#include "support/noise.h"
#include "support/sha256.h"
#include "support/test_folder_win.h"

namespace {

using testdata::Delta;

TEST(DeltaWin, SystemSha256AgreesWithKnownDigestsAndTheNativeOne) {
    TestFolder dir(L"sha");
    const std::string noise = testdata::Noise(100000);
    WriteBytes(dir / L"abc", "abc");
    WriteBytes(dir / L"noise", noise);
    uint8_t digest[32];
    ASSERT_TRUE(mDelta::FileSha256(dir / L"abc", digest));
    EXPECT_EQ(mHash::HexOf(*reinterpret_cast<mHash::Digest*>(digest)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(mDelta::FileSha256(dir / L"noise", digest));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 32), testdata::HashBytes(noise));
    EXPECT_FALSE(mDelta::FileSha256(dir / L"missing", digest));
}

// The installed file is checked before anything is written; whatever fails, no output stays behind.
TEST(DeltaWin, RebuildsOnlyFromTheOldFileItWasMadeFor) {
    TestFolder dir(L"rebuild");
    // A large file, so that the copy and the add cross the decoder's buffers and read the old file at offsets.
    const std::string old = testdata::Noise(70000);
    std::string now = old.substr(30000) + "new bytes" + old.substr(0, 30000);
    now[100] = static_cast<char>(now[100] + 3);
    const std::string add = std::string(40000, '\0').replace(100, 1, "\x03");
    const std::string instructions = std::string("\x02\xc0\xb8\x02\xe0\xd4\x03", 7) + add +  // add 40000 from 30000
                                     "\x03\x09"
                                     "new bytes" +
                                     std::string("\x01\xb0\xea\x01\xdf\xc5\x08", 7);  // copy 30000 from 0 (seek -70000)
    WriteBytes(dir / L"old", old);
    WriteBytes(dir / L"delta", Delta(old, now, instructions));
    ASSERT_EQ(mDelta::RebuildFromDelta(dir / L"old", dir / L"delta", dir / L"new"), mDelta::Result::Done);
    EXPECT_TRUE(ReadBytes(dir / L"new") == now);
    {
        // The suite still runs while the patch stages: a program may hold its file open for writing.
        const UniqueFile held(CreateFileW((dir / L"old").c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(mDelta::RebuildFromDelta(dir / L"old", dir / L"delta", dir / L"held"), mDelta::Result::Done);
    }

    std::string edited = old;
    edited[5] = 'x';
    WriteBytes(dir / L"edited", edited);
    WriteBytes(dir / L"short", old.substr(1));
    WriteBytes(dir / L"wrong", Delta(old, now + "!", instructions));
    WriteBytes(dir / L"damaged", Delta(old, now, instructions.substr(0, 1000)));
    struct Row {
        const wchar_t* old;
        const wchar_t* delta;
        mDelta::Result expected;
    } rows[] = {
        {L"edited", L"delta", mDelta::Result::OtherOldFile},  {L"short", L"delta", mDelta::Result::OtherOldFile},
        {L"missing", L"delta", mDelta::Result::OtherOldFile}, {L"old", L"missing", mDelta::Result::ReadFailed},
        {L"old", L"old", mDelta::Result::NotADelta},          {L"old", L"wrong", mDelta::Result::Damaged},
        {L"old", L"damaged", mDelta::Result::Damaged},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.old << " " << row.delta);
        EXPECT_EQ(mDelta::RebuildFromDelta(dir / row.old, dir / row.delta, dir / L"out"), row.expected);
        EXPECT_EQ(GetFileAttributesW((dir / L"out").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

}  // namespace
