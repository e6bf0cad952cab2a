# Cross-compiling for 32-bit Windows with the posix thread-model mingw-w64 compilers.
# No emulator: the 32-bit DLL is built and inspected, never run here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUORVIA_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${QUORVIA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVIA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QUORVIA_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVIA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
