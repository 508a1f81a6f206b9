# The 64-bit twin of the Windows programs, from the same sources: it runs under 64-bit Wine on
# machines that cannot run 32-bit programs, and proves that nothing assumes 32-bit pointers.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
