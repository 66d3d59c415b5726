# Cross build for 64-bit ARM Linux with Debian's cross compilers
# (gcc-aarch64-linux-gnu, g++-aarch64-linux-gnu). Test programs run under
# user-mode emulation; there is no binfmt handler, so CTest names qemu
# explicitly and points it at the target's loader and libraries.
#
#   cmake -S . -B build-aarch64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORVEX_TARGET_TRIPLET aarch64-linux-gnu)
set(ORVEX_TARGET_ROOT /usr/${ORVEX_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${ORVEX_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_TARGET_TRIPLET}-g++)
# nm, objdump, strip etc. of the target (the symbol test reads the libraries
# with CMAKE_NM).
set(CMAKE_AR ${ORVEX_TARGET_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVEX_TARGET_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${ORVEX_TARGET_TRIPLET}-nm CACHE FILEPATH "")
set(CMAKE_STRIP ${ORVEX_TARGET_TRIPLET}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${ORVEX_TARGET_TRIPLET}-objdump CACHE FILEPATH "")
set(CMAKE_READELF ${ORVEX_TARGET_TRIPLET}-readelf CACHE FILEPATH "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;${ORVEX_TARGET_ROOT})

# Libraries and headers come from the target's root only, so the host's
# x86-64 GoogleTest is never found and the test suite builds GoogleTest from
# its sources instead. CMake package files are looked up on the host too:
# the header-only ones (CLI11, nlohmann_json in /usr/share/cmake) serve any
# architecture, and the host's architecture-specific ones live under
# /usr/lib/x86_64-linux-gnu, which a search for aarch64-linux-gnu does not
# visit. Programs (compilers, qemu, pkg-config) are the host's.
set(CMAKE_FIND_ROOT_PATH ${ORVEX_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config (the host's program) reads the target's .pc files, which
# Debian's multiarch -dev packages (libsqlite3-dev:arm64, libpq-dev:arm64)
# install under /usr/lib/<triplet>/pkgconfig.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORVEX_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
