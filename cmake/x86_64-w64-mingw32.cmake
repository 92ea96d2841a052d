# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVELLO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVELLO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVELLO_MINGW}-g++-posix)
set(CMAKE_ASM_COMPILER ${ORVELLO_MINGW}-gcc-posix)
set(CMAKE_RC_COMPILER ${ORVELLO_MINGW}-windres)
set(CMAKE_DLLTOOL ${ORVELLO_MINGW}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVELLO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine; the runner script supplies the prefix and display.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
