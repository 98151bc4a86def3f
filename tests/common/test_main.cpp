// The Windows test programs' main. The library is linked into them (in the camera service
// it is a DLL, torn down only after the process's threads are gone), so exit() would run
// the runtime's and the library's teardown while a receiver or work-queue thread may still
// run; a program that passed every test then crashed on its way out. The process ends as
// the service's does, with the tests' result. Tests run in COM's multithreaded apartment
// with Media Foundation started, as the library's threads do in the service.
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
