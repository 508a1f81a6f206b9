# What both MinGW-w64 cross builds share; CMAKE_SYSTEM_PROCESSOR (i686 or x86_64) picks the
# compilers, and the Wine architecture that runs the tests follows from it.
set(CMAKE_SYSTEM_NAME Windows)
set(triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The posix thread model gives GoogleTest its std::mutex; -static keeps winpthread inside the exe.
# Static runtime: the exe must run on a PC that has no compiler DLLs. No link time in the PE
# header, so that two builds of one commit give the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(QUARV_WINDOWS_ARCH win64)
else()
  set(QUARV_WINDOWS_ARCH win32)
endif()
# Tests run under this architecture's own Wine loader, or are skipped where it cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${QUARV_WINDOWS_ARCH})
