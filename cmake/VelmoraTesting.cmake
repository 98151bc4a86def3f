# Compiler settings of both trees; under Wine, the emulator that runs Windows programs.
#
# Windows tree: every binary links statically (libstdc++, libgcc, winpthread), so the
# deliverables import only system DLLs and tests run under Wine without MinGW DLLs.
# Host tree: tests run under AddressSanitizer and UndefinedBehaviorSanitizer.

set(VELMORA_WARNINGS -Wall -Wextra -Wno-unused-parameter)

if(WIN32)
    add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static -static-libgcc -static-libstdc++")
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static -static-libgcc -static-libstdc++")
    # One folder for every program and DLL: Wine (like Windows) loads a DLL from the
    # program's own folder first, which is how tests meet the stand-in DLLs.
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

    find_program(VELMORA_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
    if(NOT VELMORA_WINE)
        find_program(VELMORA_WINE NAMES wine REQUIRED)
    endif()
    find_program(VELMORA_XVFB_RUN xvfb-run)
    set(VELMORA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(VELMORA_WINESERVER_LINGER 60)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh.in ${CMAKE_BINARY_DIR}/wine-prefix.sh
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
    set(VELMORA_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_WINE_RUN})

    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(VELMORA_GTEST_MAIN velmora_test_main)  # tests/common
    set(VELMORA_GTEST gtest)
else()
    option(VELMORA_SANITIZE "Build host tests with AddressSanitizer and UBSan" ON)
    if(VELMORA_SANITIZE)
        set(VELMORA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        add_compile_options(${VELMORA_SANITIZER_FLAGS})
        add_link_options(${VELMORA_SANITIZER_FLAGS})
    endif()
    find_package(GTest REQUIRED)
    find_package(Threads REQUIRED)
    set(VELMORA_GTEST_MAIN GTest::gtest_main Threads::Threads)
    set(VELMORA_GTEST GTest::gtest Threads::Threads)
endif()
