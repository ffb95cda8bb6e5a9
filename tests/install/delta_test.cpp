#include "install/delta.h"

#include <gtest/gtest.h>

#include "support/delta_by_hand.h"
#include "support/sha256.h"

namespace {

using testdata::Delta;
using testdata::HashBytes;
using testdata::Le64;

TEST(Delta, Sha256MatchesKnownDigests) {
    EXPECT_EQ(mHash::HexOf(mHash::Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(mHash::HexOf(mHash::Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks of padding, and a message split across Add calls.
    mHash::Sha256 parts;
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    parts.Add(text.data(), 10);
    parts.Add(text.data() + 10, text.size() - 10);
    EXPECT_EQ(mHash::HexOf(parts.Finish()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Every hostile form ends in a refusal, never a read outside the old file or a write past the new size.
TEST(Delta, RefusesHostileAndDamagedDeltas) {
    const std::string& old = testdata::kSmallOld;
    const std::string& now = testdata::kSmallNew;
    const std::string& good = testdata::kSmallInstructions;
    std::string out;
    ASSERT_EQ(mDelta::RebuildBytes(old, Delta(old, now, good), out), mDelta::Result::Done);
    EXPECT_EQ(out, now);

    const std::string big = "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01";  // 2^64 - 1
    struct Row {
        const char* why;
        std::string delta;
        mDelta::Result expected;
    } rows[] = {
        {"empty", "", mDelta::Result::NotADelta},
        {"header cut short", Delta(old, now, good).substr(0, 40), mDelta::Result::NotADelta},
        {"other magic", "OVDelta2" + Delta(old, now, good).substr(8), mDelta::Result::NotADelta},
        {"no instructions", Delta(old, now, ""), mDelta::Result::Damaged},
        {"unknown instruction", Delta(old, now, std::string("\x04\x0a\x00", 3)), mDelta::Result::Damaged},
        {"instruction 0", Delta(old, now, std::string("\x00\x0a\x00", 3)), mDelta::Result::Damaged},
        {"length 0", Delta(old, now, std::string("\x01\x00\x00", 3) + good), mDelta::Result::Damaged},
        {"length past the new size", Delta(old, now, std::string("\x03\x0b", 2) + now + "x"), mDelta::Result::Damaged},
        {"length 2^64-1", Delta(old, now, "\x03" + big), mDelta::Result::Damaged},
        {"number of 11 bytes", Delta(old, now, "\x03\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01"),
         mDelta::Result::Damaged},
        {"seek before the start", Delta(old, now, std::string("\x01\x04\x01", 3)), mDelta::Result::Damaged},
        {"seek past the end", Delta(old, now, std::string("\x01\x01\x16", 3)), mDelta::Result::Damaged},
        {"seek of 2^64-1 backwards", Delta(old, now, "\x01\x01" + big), mDelta::Result::Damaged},
        {"copy past the old end", Delta(old, now, std::string("\x01\x0a\x02", 3)), mDelta::Result::Damaged},
        {"add past the old end",
         Delta(old, std::string(20, 'x'), std::string("\x02\x14\x00", 3) + std::string(20, 'x')),
         mDelta::Result::Damaged},
        {"insert cut short", Delta(old, now, std::string("\x03\x0a", 2) + "0123"), mDelta::Result::Damaged},
        {"add cut short", Delta(old, now, std::string("\x02\x0a\x00", 3) + "\x01\x02"), mDelta::Result::Damaged},
        {"seek missing", Delta(old, now, "\x01\x04"), mDelta::Result::Damaged},
        {"a byte after the end", Delta(old, now, good + "\x01"), mDelta::Result::Damaged},
        {"the new hash not met", Delta(old, "0123456789", std::string("\x03\x0a", 2) + "012345678X"),
         mDelta::Result::WrongResult},
        {"a huge new size never reached",
         Delta(old, std::string(), "").substr(0, 48) + Le64(~0ull) + HashBytes("") +
             "\x03\x02"
             "ab",
         mDelta::Result::Damaged},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(mDelta::RebuildBytes(old, row.delta, out), row.expected);
        EXPECT_LE(out.size(), 20u);
    }
    // Applied to another old file of the same size: the result is wrong and said to be.
    EXPECT_EQ(mDelta::RebuildBytes("0123456780", Delta(old, now, good), out), mDelta::Result::WrongResult);
}

TEST(Delta, EntriesUnderTheDeltaFolderNameTheFileTheyRebuild) {
    EXPECT_EQ(mDelta::TargetOfEntry(L"OVPatcher.tmp\\delta\\Apps\\a.exe"), L"Apps\\a.exe");
    EXPECT_EQ(mDelta::TargetOfEntry(L"ovpatcher.TMP\\Delta\\b.dll"), L"b.dll");
    EXPECT_EQ(mDelta::TargetOfEntry(L"OVPatcher.tmp\\delta\\"), L"");
    EXPECT_EQ(mDelta::TargetOfEntry(L"Apps\\OVPatcher.tmp\\delta\\a.exe"), L"");
    EXPECT_EQ(mDelta::TargetOfEntry(L"OVPatcher.tmp\\deltas\\a.exe"), L"");
    // Rebuilt below the staging folder: nothing that could lead out of it.
    for (const wchar_t* out : {L"..\\..\\a.exe", L"Apps\\..\\..\\a.exe", L"C:\\a.exe", L"\\a.exe", L"a.exe:s"})
        EXPECT_EQ(mDelta::TargetOfEntry(std::wstring(L"OVPatcher.tmp\\delta\\") + out), L"") << out;
}

}  // namespace
