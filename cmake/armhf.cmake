# Cross build for the instrument's processor: 32-bit ARMv7, hard float, Linux,
# with Debian's arm-linux-gnueabihf toolchain.
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VALDRIX_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VALDRIX_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VALDRIX_ARM_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VALDRIX_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The instrument gets one self-contained file, and a static binary also runs under
# qemu-arm here without an ARM library tree. -L only matters if someone turns
# static linking off.
set(VALDRIX_STATIC ON CACHE BOOL "Link the executables statically")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${VALDRIX_ARM_TRIPLE})

# Every object in the binary comes from this one compiler, so GCC's note that the
# ARM calling convention for some standard types changed in GCC 7.1 is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
