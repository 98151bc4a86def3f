// The process's one receiver thread: started once however many callers race, keeps the
// store filled from the sender, and recovers by itself when the sender goes and returns.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "library/receiver/h264_receiver.h"
#include "tests/common/library_log.h"
#include "tests/common/sender_control.h"

namespace {

using namespace velmora::test;

// True once a picture newer than lastSequence arrives within the time limit.
bool WaitForPicture(std::uint64_t& lastSequence, std::chrono::seconds limit) {
    H264Receiver& receiver = H264Receiver::Instance();
    std::vector<std::uint8_t> destination(640 * 360 * 3 / 2);
    std::vector<std::uint8_t> scratch(4096 * 2304 * 3 / 2);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t before = lastSequence;
        std::uint32_t age = 0, width = 0, height = 0;
        bool direct = false;
        if (receiver.TakeCpuFrame(destination.data(), static_cast<std::uint32_t>(destination.size()),
                                  scratch.data(), static_cast<std::uint32_t>(scratch.size()), 640, 360,
                                  lastSequence, age, width, height, direct) &&
            lastSequence != before) {
            return true;
        }
    }
    return false;
}

TEST(ReceiverThread, StartsOnceFillsTheStoreAndRecoversAfterTheSenderReturns) {
    ASSERT_EQ(ResetSender(), S_OK);
    // Every connection ends by itself after two seconds, so the sender can go away.
    ASSERT_EQ(SetSenderScenario(L"frames=60"), S_OK);
    DeleteFileW(LogPath().c_str());
    H264Receiver& receiver = H264Receiver::Instance();
    EXPECT_EQ(&receiver, &H264Receiver::Instance());

    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] { receiver.EnsureStarted(); });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    receiver.EnsureStarted();
    EXPECT_TRUE(receiver.started.load());

    std::uint64_t lastSequence = 0;
    ASSERT_TRUE(WaitForPicture(lastSequence, std::chrono::seconds(30)));
    EXPECT_EQ(CountOf(ReadLog(), "H.264 receiver starting.\r\n"), 1) << "one thread, one line";

    // The sender goes away: the current connection ends, every retry fails the same way,
    // about sixty attempts in three seconds, and the log stays short.
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string log = ReadLog();
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80070026\r\n"), 1) << log;
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80072EFD\r\n"), 1) << log;
    EXPECT_LE(CountOf(log, "Connecting to http://127.0.0.1:8080/h264frames\r\n"), 3) << log;

    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    EXPECT_TRUE(WaitForPicture(lastSequence, std::chrono::seconds(30))) << "the receiver reconnects by itself";
    // That connection ends after its sixty frames; the run of failures before it is then
    // summarised in one line.
    bool summarised = false;
    for (int i = 0; i < 100 && !summarised; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        summarised = ReadLog().find("H.264 stream still failing: 0x80072EFD, ") != std::string::npos;
    }
    EXPECT_TRUE(summarised) << ReadLog();
}

}  // namespace

// The receiver thread is still decoding when the tests end. Here the library is part of
// the program, so exit() would run the runtime's and the program's teardown while that
// thread still works; in the camera service the library is a DLL, torn down only after the
// process's threads are gone. So the process ends as the service's does.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
