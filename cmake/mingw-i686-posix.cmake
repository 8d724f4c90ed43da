# i686 with the posix thread model: GoogleTest needs std::mutex, which the
# win32 model lacks. Only the test build uses it; the release exe does not.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
