# Cross-compiling for 32-bit Windows with the posix thread-model mingw-w64 compilers.
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
# Test programs run under 32-bit Wine (wine32:i386), in a prefix made by wine64
# with its syswow64, as on 64-bit Windows. ./quorvia builds the tests of this
# tree only where the machine runs 32-bit programs.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
