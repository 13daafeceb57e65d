# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64):
#   cmake --preset mingw
# The posix-thread compilers, because GoogleTest needs std::mutex. Everything is linked
# statically, so fat12img.exe runs on a Windows with no MinGW DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FAT12IMG_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FAT12IMG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FAT12IMG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FAT12IMG_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FAT12IMG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and test discovery run the built programs under Wine when it is installed; the
# wrapper gives the build its own Wine prefix.
find_program(FAT12IMG_WINE wine)
if(FAT12IMG_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
