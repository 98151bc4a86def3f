// Held-back log lines: written later in order with the time they were logged at, or
// dropped; other threads keep writing straight to the file.
#include <gtest/gtest.h>

#include <thread>

#include "library/diagnostics/log.h"
#include "library/diagnostics/log_capture.h"
#include "tests/diagnostics/data_files.h"

namespace {

std::string LogText() {
    return testfiles::ReadAll(testfiles::DataPath(velmora::kLogFileName));
}

TEST(LogCapture, HeldLinesAreWrittenInOrderWithTheirOwnTimeOrDropped) {
    testfiles::Remove(testfiles::DataPath(velmora::kLogFileName));
    LogCapture capture;
    capture.Start();
    LogMessage(L"held one");
    LogFormatted(64, L"held %s %u", L"two", 2u);
    std::thread other([] { LogMessage(L"from another thread"); });
    other.join();
    EXPECT_EQ(capture.HeldLineCount(), 2u);
    EXPECT_EQ(LogText().find("held one"), std::string::npos);
    EXPECT_NE(LogText().find("from another thread"), std::string::npos);

    // Lines logged one second apart keep their own seconds when flushed later.
    Sleep(1100);
    LogMessage(L"held three");
    capture.Flush();
    LogMessage(L"after flush");
    const std::string text = LogText();
    const std::size_t one = text.find("held one");
    const std::size_t two = text.find("held two 2");
    const std::size_t three = text.find("held three");
    const std::size_t after = text.find("after flush");
    ASSERT_NE(one, std::string::npos);
    ASSERT_NE(two, std::string::npos);
    ASSERT_NE(three, std::string::npos);
    ASSERT_NE(after, std::string::npos);
    EXPECT_LT(one, two);
    EXPECT_LT(two, three);
    EXPECT_LT(three, after);
    // "YYYY-MM-DD hh:mm:ss " precedes each message; the seconds of one and three differ.
    EXPECT_NE(text.substr(one - 3, 2), text.substr(three - 3, 2));
    EXPECT_EQ(capture.HeldLineCount(), 0u);

    capture.Start();
    LogMessage(L"dropped line");
    capture.Discard();
    LogMessage(L"written line");
    EXPECT_EQ(LogText().find("dropped line"), std::string::npos);
    EXPECT_NE(LogText().find("written line"), std::string::npos);
}

TEST(LogCapture, StopKeepsTheHeldLinesAndEndsHolding) {
    testfiles::Remove(testfiles::DataPath(velmora::kLogFileName));
    {
        LogCapture capture;
        capture.Start();
        LogMessage(L"kept for later");
        capture.Stop();
        LogMessage(L"straight to the file");
        EXPECT_EQ(capture.HeldLineCount(), 1u);
        EXPECT_NE(LogText().find("straight to the file"), std::string::npos);
        capture.Flush();
        EXPECT_NE(LogText().find("kept for later"), std::string::npos);
        capture.Start();
    }  // a capture that goes away stops holding
    LogMessage(L"after destruction");
    EXPECT_NE(LogText().find("after destruction"), std::string::npos);
}

}  // namespace
