# Shared part of the cross toolchain files: Debian's cross compilers for QUILLKIT_CROSS_TRIPLET,
# the target's libraries from the multiarch -dev packages (headers in /usr/include, libraries and
# .pc files in /usr/lib/<triplet>), and QUILLKIT_CROSS_QEMU to run the target's programs, so that
# test discovery and ctest work without binfmt. Debian installs the target's libc and loader under
# / with multiarch, so qemu finds them there and needs no -L.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUILLKIT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLKIT_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUILLKIT_CROSS_TRIPLET})

# Only the target's libraries: never pick up an amd64 one from /usr/lib/x86_64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLKIT_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
# pkg-config's wrapper for the triplet reads only the target's .pc files.
set(PKG_CONFIG_EXECUTABLE ${QUILLKIT_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "")

find_program(QUILLKIT_CROSS_QEMU_PATH ${QUILLKIT_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLKIT_CROSS_QEMU_PATH})
