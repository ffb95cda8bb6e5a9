#include "appclose/tool_instances_win.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_launch_win.h"
#include "support/trace.h"

namespace {

using fakes::FakeProcess;
using fakes::PlaceFake;
using fakes::TempFolder;

DWORD OwnerOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

TEST(ToolInstances, WrapperIsFoundAndEndsOnItsCommand) {
    TempFolder root(L"Orvana");
    FakeProcess wrapper;
    ASSERT_TRUE(
        wrapper.Start(PlaceFake(L"fake_wrapper", root.path() + L"\\OrvanaTools\\OrvanaWrapper", L"OrvanaWrapper.exe")));

    const HWND window = mToolsInstances::FindToolInstance(L"ORVWrapper_2.0");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(OwnerOf(window), wrapper.pid());
    EXPECT_EQ(mToolsInstances::FindToolInstance(L"ORV Files Assoc'"), nullptr);

    TraceCapture trace;
    mToolsInstances::SendToolInstanceCommand(window, L"relay/ovpend");
    // The message was handled before the call returned.
    EXPECT_TRUE(wrapper.HasLogged("WM_COPYDATA 0 12 relay/ovpend"));
    EXPECT_TRUE(wrapper.WaitEnded());
    EXPECT_EQ(wrapper.ExitCode(), 0u);
    EXPECT_TRUE(trace.errors().empty());

    // The window is gone now: sending again is no error.
    mToolsInstances::SendToolInstanceCommand(window, L"relay/ovpend");
    EXPECT_TRUE(trace.errors().empty());
}

TEST(ToolInstances, OnlyThePropertyValueOneMarksAnInstance) {
    TempFolder root(L"Orvana");
    const std::wstring exe = PlaceFake(L"fake_assoc", root.path() + L"\\OrvanaTools\\OrvanaAssoc", L"OrvanaAssoc.exe");
    FakeProcess other;
    ASSERT_TRUE(other.Start(exe, L"/propvalue=2"));
    EXPECT_EQ(mToolsInstances::FindToolInstance(L"ORV Files Assoc'"), nullptr);

    FakeProcess assoc;
    ASSERT_TRUE(assoc.Start(exe));
    const HWND window = mToolsInstances::FindToolInstance(L"ORV Files Assoc'");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(OwnerOf(window), assoc.pid());
}

TEST(ToolInstances, CommandsTravelAsUtf8AndAnEmptyOneAsOneZeroByte) {
    TempFolder root(L"Orvana");
    FakeProcess assoc;
    ASSERT_TRUE(assoc.Start(PlaceFake(L"fake_assoc", root.path() + L"\\OrvanaTools\\OrvanaAssoc", L"OrvanaAssoc.exe")));
    const HWND window = mToolsInstances::FindToolInstance(L"ORV Files Assoc'");
    ASSERT_NE(window, nullptr);

    mToolsInstances::SendToolInstanceCommand(window, L"");
    mToolsInstances::SendToolInstanceCommand(window, L"/open=\u00e9t\u00e9 \u6771\u4eac");
    EXPECT_TRUE(assoc.HasLogged("WM_COPYDATA 0 1 \\x00"));
    EXPECT_TRUE(assoc.HasLogged("WM_COPYDATA 0 18 /open=\xc3\xa9t\xc3\xa9 \xe6\x9d\xb1\xe4\xba\xac"));
    EXPECT_TRUE(assoc.Running());

    mToolsInstances::SendToolInstanceCommand(window, L"/close");
    EXPECT_TRUE(assoc.WaitEnded());
    EXPECT_TRUE(assoc.HasLogged("exit 0"));
}

TEST(ToolInstances, StartedWithItsEndCommandATwinPassesItOn) {
    // What the patcher falls back to when it finds no instance window: start the tool with the command.
    TempFolder root(L"Orvana");
    const std::wstring exe =
        PlaceFake(L"fake_wrapper", root.path() + L"\\OrvanaTools\\OrvanaWrapper", L"OrvanaWrapper.exe");
    FakeProcess running, relay;
    ASSERT_TRUE(running.Start(exe, L"crashtest/ovpend"));
    ASSERT_TRUE(relay.Start(exe, L"relay/ovpend"));
    EXPECT_TRUE(relay.WaitEnded());
    EXPECT_TRUE(relay.HasLogged("relay relay/ovpend found"));
    EXPECT_TRUE(running.WaitEnded());
    EXPECT_TRUE(running.HasLogged("WM_COPYDATA 0 12 relay/ovpend"));
}

}  // namespace
