# Debian's clang for WebAssembly with the wasi-libc sysroot and libc++ that Debian ships for it:
# no toolchain of its own to download, unlike Emscripten.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
# Compiler checks would link a program with main; the module is a reactor without one.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(QUARV_WASM ON CACHE BOOL "" FORCE)
