# GoogleTest, built from the sources Debian ships in /usr/src/googletest (package googletest) with
# this build's own flags, so it fits -m32 and sanitizer builds; the prebuilt libgtest-dev is the
# fallback where the sources are missing.
if(TARGET GTest::gtest)
    return()
endif()
set(PLATEIO_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(EXISTS "${PLATEIO_GTEST_SOURCE_DIR}/CMakeLists.txt")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory("${PLATEIO_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL SYSTEM)
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
else()
    find_package(GTest REQUIRED)
endif()
