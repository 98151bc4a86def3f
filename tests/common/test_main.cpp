// The library is linked in (in the camera service it is a DLL, torn down only after the threads are gone), so exit()
// would run its and the runtime's teardown under a live receiver or work-queue thread: programs that passed every test
// crashed on the way out, so the process ends as the service's does. Tests run in COM's multithreaded apartment with
// Media Foundation started, as the library's threads do in the service.
#include <windows.h>
#include <mfapi.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
