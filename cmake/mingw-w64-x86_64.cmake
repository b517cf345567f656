# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread
# model, which std::thread needs). Used by scripts/windows_lane.sh for the
# libraries it builds and for the core.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The libraries built for Windows live under TVLIB_WINDOWS_PREFIX (an
# environment variable, so try_compile sees it too).
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $ENV{TVLIB_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows 10 APIs; executables carry their C and C++ runtimes, so Wine needs
# no mingw DLLs beside them.
add_compile_definitions(_WIN32_WINNT=0x0A00)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
