# Cross build for 64-bit Windows with Debian's mingw-w64, posix-thread flavour
# (the default win32 flavour has no std::mutex, which GoogleTest needs).
# Programs are linked statically, so pelko.exe runs without libstdc++-6.dll
# and friends beside it; CTest and test discovery run them under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELKO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELKO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELKO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELKO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELKO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
