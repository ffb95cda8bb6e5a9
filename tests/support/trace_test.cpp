#include "support/trace.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

// A failure the program goes on after still leaves a note that names where it happened and what it was.
TEST(Trace, NoteCaughtNamesThePlaceAndTheException) {
    TraceCapture trace;
    try {
        throw std::runtime_error("disk gone");
    } catch (...) {
        NoteCaught(L"Drop");
    }
    try {
        throw std::bad_alloc();
    } catch (...) {
        NoteCaught(L"Start-up: shell32.dll");
    }
    try {
        throw 7;
    } catch (...) {
        NoteCaught(L"Window procedure");
    }
    ASSERT_EQ(trace.notes().size(), 3u);
    EXPECT_EQ(trace.notes()[0], L"Drop failed: disk gone");
    EXPECT_EQ(trace.notes()[1].rfind(L"Start-up: shell32.dll failed: ", 0), 0u);
    EXPECT_NE(trace.notes()[1].find(L"bad_alloc"), std::wstring::npos);
    EXPECT_EQ(trace.notes()[2], L"Window procedure failed: an exception of no known type");
    EXPECT_TRUE(trace.errors().empty());

    TraceOutOfMemory(L"Function mGlobal.ShellEx");
    TraceInternalError(L"Sub mToolsInstances.SendToolInstanceCommand");
    EXPECT_EQ(trace.errors(), (std::vector<std::wstring>{
                                  L"Erreur 7 (Out of memory) dans Function mGlobal.ShellEx",
                                  L"Erreur 51 (Internal error) dans Sub mToolsInstances.SendToolInstanceCommand"}));
}

}  // namespace
