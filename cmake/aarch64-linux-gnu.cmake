# Cross build of the extension for Linux on AArch64 (arm64), with Debian's
# aarch64-linux-gnu toolchain on an x86_64 build machine.
#
# The compiler brings its own C and C++ runtime headers and libraries; the
# Python headers and interpreter come from an arm64 Debian root ("sysroot")
# holding python3.X and libpython3.X-dev, X the CPython asked for with
# -DVORLIX_PYTHON_VERSION (3.14 unless given).  FindPython runs that root's own
# interpreter under qemu user emulation to learn the version, include
# directory and extension suffix, so the module is named for the arm64
# interpreter (vorlix.cpython-314-aarch64-linux-gnu.so) and never for the
# build machine's python.  This needs policy CMP0190 set to NEW, which has to
# be given on the command line (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW) because
# cmake_minimum_required() has settled the policies before this file is read.
#
# The sysroot's location: -DVORLIX_AARCH64_SYSROOT=DIR, else the environment
# variable of that name, else /opt/sysroot/aarch64 (where ./dev puts it).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT VORLIX_AARCH64_SYSROOT)
    if(DEFINED ENV{VORLIX_AARCH64_SYSROOT})
        set(VORLIX_AARCH64_SYSROOT "$ENV{VORLIX_AARCH64_SYSROOT}")
    else()
        set(VORLIX_AARCH64_SYSROOT /opt/sysroot/aarch64)
    endif()
endif()
set(VORLIX_AARCH64_SYSROOT "${VORLIX_AARCH64_SYSROOT}" CACHE PATH
    "arm64 root holding python3.X and libpython3.X-dev")
if(NOT VORLIX_PYTHON_VERSION)
    set(VORLIX_PYTHON_VERSION 3.14)
endif()
# try_compile() projects read this file again and need the same answer.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORLIX_AARCH64_SYSROOT VORLIX_PYTHON_VERSION)

if(NOT EXISTS "${VORLIX_AARCH64_SYSROOT}/usr/include/python${VORLIX_PYTHON_VERSION}/Python.h")
    message(FATAL_ERROR
        "${VORLIX_AARCH64_SYSROOT} is not an arm64 root with libpython${VORLIX_PYTHON_VERSION}-dev; "
        "set VORLIX_AARCH64_SYSROOT to one")
endif()

# The sysroot's /usr/include must be searched: Debian's pyconfig.h includes
# <aarch64-linux-gnu/python3.X/pyconfig.h> from there.  The compiler's own
# libc and C++ headers still come first, so both halves stay consistent.
set(CMAKE_SYSROOT "${VORLIX_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L makes the emulated interpreter find its loader and libraries in the
# sysroot.  A plain variable, so it also wins over build front ends that
# suggest the build machine's python through the cache.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${VORLIX_AARCH64_SYSROOT}")
set(Python_EXECUTABLE "${VORLIX_AARCH64_SYSROOT}/usr/bin/python${VORLIX_PYTHON_VERSION}")
