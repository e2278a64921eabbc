# Zig as the C and C++ compiler, for wheels that run on older Linux systems
# and on other architectures than the build machine's:
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake \
#         -DMAVE_ZIG=/path/to/zig -DMAVE_ZIG_TARGET=aarch64-linux-gnu.2.28 ...
#
# MAVE_ZIG_TARGET is a zig target triple whose glibc version is the oldest the
# binaries need (zig links against stubs of that version's symbols); the
# default is x86-64 with glibc 2.28. MAVE_ZIG defaults to the zig of the
# `ziglang` Python package or a zig on PATH (the environment variable of the
# same name is read too, since try_compile projects see only the environment).
# MAVE_TARGET_PREFIX (optional) is a directory with the target's own
# libraries and headers (include/, lib/), searched before the build machine's:
# the place for a dependency built or unpacked for that target.
#
# zig brings LLVM's C++ runtime (libc++ and libc++abi) and links it
# statically; the extensions' version script (cmake/extension.map) keeps its
# symbols, like every other, out of their dynamic symbol tables.

if(NOT MAVE_ZIG)
  set(MAVE_ZIG "$ENV{MAVE_ZIG}")
endif()
if(NOT MAVE_ZIG_TARGET)
  set(MAVE_ZIG_TARGET "$ENV{MAVE_ZIG_TARGET}")
endif()
if(NOT MAVE_ZIG_TARGET)
  set(MAVE_ZIG_TARGET "x86_64-linux-gnu.2.28")
endif()
if(NOT MAVE_ZIG)
  find_program(MAVE_ZIG_PROGRAM zig)
  set(MAVE_ZIG "${MAVE_ZIG_PROGRAM}")
endif()
if(NOT MAVE_ZIG)
  message(FATAL_ERROR "zig not found: pip install ziglang, or set MAVE_ZIG to the zig program")
endif()
set(ENV{MAVE_ZIG} "${MAVE_ZIG}")
set(ENV{MAVE_ZIG_TARGET} "${MAVE_ZIG_TARGET}")
set(MAVE_ZIG "${MAVE_ZIG}" CACHE FILEPATH "The zig program" FORCE)
set(MAVE_ZIG_TARGET "${MAVE_ZIG_TARGET}" CACHE STRING "zig's target triple" FORCE)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MAVE_ZIG MAVE_ZIG_TARGET MAVE_TARGET_PREFIX)

string(REGEX MATCH "^[^-]+" MAVE_ZIG_ARCH "${MAVE_ZIG_TARGET}")
cmake_host_system_information(RESULT MAVE_HOST_ARCH QUERY OS_PLATFORM)
if(NOT MAVE_HOST_ARCH STREQUAL MAVE_ZIG_ARCH)
  # A cross build: the target's programs cannot run here, and CMake asks the
  # build machine's Python nothing about the target (its headers are given).
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${MAVE_ZIG_ARCH})
endif()

# CMake takes a compiler as one program, so each zig subcommand gets a small
# wrapper script, written once per target beside the build tree.
set(wrappers "${CMAKE_BINARY_DIR}/zig-${MAVE_ZIG_TARGET}")
foreach(tool cc c++ ar ranlib)
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    # An explicit target also means the target's baseline CPU, never the
    # build machine's own (float results are the same on every machine).
    # zig keeps frame pointers at every level; GCC and clang drop them when
    # optimising, and embed ran about 5 % slower with them.
    set(arguments "-target ${MAVE_ZIG_TARGET} -mcpu=baseline -fomit-frame-pointer")
  else()
    set(arguments "")
  endif()
  set(script "#!/bin/sh\nexec \"${MAVE_ZIG}\" ${tool} ${arguments} \"$@\"\n")
  set(path "${wrappers}/zig-${tool}")
  if(EXISTS "${path}")
    file(READ "${path}" old)
  else()
    set(old "")
  endif()
  if(NOT old STREQUAL script)
    file(WRITE "${path}" "${script}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
set(CMAKE_C_COMPILER "${wrappers}/zig-cc")
set(CMAKE_CXX_COMPILER "${wrappers}/zig-c++")
set(CMAKE_AR "${wrappers}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${wrappers}/zig-ranlib" CACHE FILEPATH "" FORCE)

if(MAVE_TARGET_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${MAVE_TARGET_PREFIX}")
  list(PREPEND CMAKE_PREFIX_PATH "${MAVE_TARGET_PREFIX}")
endif()
# Programs come from the build machine; libraries and headers for a foreign
# target only from its prefix (or what the project points at explicitly).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(CMAKE_CROSSCOMPILING)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
endif()
