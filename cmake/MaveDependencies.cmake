# The third-party C++ dependencies: toml++ and fast_float (headers only,
# always), simdjson, utf8proc, GoogleTest (only with MAVE_BUILD_TESTS) and the decompressors
# (below). Each comes from the system when it is installed there, and
# otherwise from one pinned archive, downloaded once into the build tree and
# checked against its SHA-256, so that a machine with only a compiler, CMake
# and network access builds the package.
#
# The pinned archives are Debian's packages of the versions the project is
# tested with (toml++ 3.3.0, whose unicode classifier src/format/metadata.cpp
# replaces, fast_float 3.9.0 and GoogleTest 1.12.1): the fallback compiles the
# very headers the system build uses, so metadata and text are parsed and
# written the same either way, and Debian's signed package index vouches for
# the checksums. A packager can point the fallback at a local copy
# (MAVE_TOMLPP_URL, MAVE_FASTFLOAT_URL, MAVE_GTEST_URL, with the matching
# *_SHA256) or at an unpacked tree (FETCHCONTENT_SOURCE_DIR_TOMLPP, ...); a
# release archive of any of them (a .tar.gz of its sources) works as well as
# a .deb.

include(FetchContent)

# zig and cross builds take nothing from the build machine: its libraries
# are built for its own glibc and architecture, and its toml++ lies in
# /usr/include, which on the include path would put the machine's C library
# headers (a newer glibc) before the target's. MAVE_PINNED_DEPENDENCIES asks
# the same of any build (the wheels cibuildwheel makes, pyproject.toml: an
# image's own libraries would otherwise be bundled by auditwheel).
option(MAVE_PINNED_DEPENDENCIES "Take every dependency from its pinned archive, none from the system"
  OFF)
if(CMAKE_CROSSCOMPILING OR MAVE_ZIG OR MAVE_PINNED_DEPENDENCIES)
  set(MAVE_FROM_SYSTEM_DEFAULT OFF)
else()
  set(MAVE_FROM_SYSTEM_DEFAULT ON)
endif()
option(MAVE_USE_SYSTEM_TOMLPP "Use toml++ from the system when it is installed (off in zig and cross builds)"
  ${MAVE_FROM_SYSTEM_DEFAULT})
option(MAVE_USE_SYSTEM_FASTFLOAT "Use fast_float from the system when it is installed (off in zig and cross builds)"
  ${MAVE_FROM_SYSTEM_DEFAULT})
option(MAVE_USE_SYSTEM_GTEST "Use GoogleTest from the system when it is installed" ON)

set(MAVE_TOMLPP_URL
  "https://deb.debian.org/debian/pool/main/t/tomlplusplus/libtomlplusplus-dev_3.3.0+ds-1_amd64.deb"
  CACHE STRING "Archive of toml++ 3.3.0 used when the system has none")
set(MAVE_TOMLPP_SHA256 "2779cce0001466dcf60eb6262ff68a888d49f9e30aee80c499d1d4f6f9f6e12e"
  CACHE STRING "SHA-256 of MAVE_TOMLPP_URL")
# fast_float (headers only): the text readers' float parser. The .deb holds
# only headers, whatever its architecture tag.
set(MAVE_FASTFLOAT_URL
  "https://deb.debian.org/debian/pool/main/f/fast-float/libfast-float-dev_3.9.0-1_amd64.deb"
  CACHE STRING "Archive of fast_float 3.9.0 used when the system has none")
set(MAVE_FASTFLOAT_SHA256 "2ec2a50472c2e99e3b5fdc776c2dca645ca760bac24c6624cc2a220db1b7d16d"
  CACHE STRING "SHA-256 of MAVE_FASTFLOAT_URL")
set(MAVE_GTEST_URL
  "https://deb.debian.org/debian/pool/main/g/googletest/googletest_1.12.1-0.2_all.deb"
  CACHE STRING "Archive of GoogleTest 1.12.1 used when the system has none")
set(MAVE_GTEST_SHA256 "927be72067517da503b6538026d451455c9e860f5dbfe237f792543db7d5a928"
  CACHE STRING "SHA-256 of MAVE_GTEST_URL")

# mave_fetch_tree(NAME URL SHA256 MARKER OUT_VAR): downloads the archive (or
# takes FETCHCONTENT_SOURCE_DIR_<NAME>), unpacks it, and a .deb's data
# archive inside it, and sets OUT_VAR to the directory that holds MARKER.
function(mave_fetch_tree name url sha256 marker out_var)
  message(STATUS "${name}: not taken from the system; using ${url}")
  FetchContent_Declare(${name} URL "${url}" URL_HASH SHA256=${sha256} DOWNLOAD_NO_EXTRACT TRUE)
  FetchContent_GetProperties(${name})
  if(NOT ${name}_POPULATED)
    # MakeAvailable only downloads here: the archive is not a CMake project.
    FetchContent_MakeAvailable(${name})
  endif()
  string(TOLOWER ${name} lower)
  set(source_dir ${${lower}_SOURCE_DIR})
  set(tree ${FETCHCONTENT_BASE_DIR}/${lower}-tree)
  mave_find_marker(${source_dir} ${marker} found)
  if(NOT found)
    mave_find_marker(${tree} ${marker} found)
  endif()
  if(NOT found)
    file(GLOB archives ${source_dir}/*)
    file(REMOVE_RECURSE ${tree})
    foreach(archive IN LISTS archives)
      file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${tree})
    endforeach()
    # A .deb is an ar archive around a compressed tar of the installed files.
    file(GLOB data_archives ${tree}/data.tar.*)
    foreach(archive IN LISTS data_archives)
      file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${tree})
    endforeach()
    mave_find_marker(${tree} ${marker} found)
  endif()
  if(NOT found)
    message(FATAL_ERROR "${name}: ${url} holds no ${marker}")
  endif()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# mave_find_marker(DIR MARKER OUT_VAR): the directory under DIR that holds the
# relative path MARKER (the shallowest, when there are several), or nothing.
function(mave_find_marker dir marker out_var)
  set(result "")
  if(IS_DIRECTORY ${dir})
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${dir}/*)
    string(LENGTH "/${marker}" marker_length)
    foreach(file IN LISTS files)
      string(LENGTH "${file}" length)
      math(EXPR start "${length} - ${marker_length}")
      if(start GREATER 0)
        string(SUBSTRING "${file}" ${start} -1 tail)
        if(tail STREQUAL "/${marker}")
          string(SUBSTRING "${file}" 0 ${start} candidate)
          string(LENGTH "${result}" result_length)
          string(LENGTH "${candidate}" candidate_length)
          if(NOT result OR candidate_length LESS result_length)
            set(result ${candidate})
          endif()
        endif()
      endif()
    endforeach()
  endif()
  set(${out_var} ${result} PARENT_SCOPE)
endfunction()

if(MAVE_USE_SYSTEM_TOMLPP)
  find_path(TOMLPP_INCLUDE_DIR toml++/toml.h)
endif()
if(NOT MAVE_USE_SYSTEM_TOMLPP OR NOT TOMLPP_INCLUDE_DIR)
  mave_fetch_tree(TOMLPP "${MAVE_TOMLPP_URL}" ${MAVE_TOMLPP_SHA256} toml++/toml.h dir)
  set(TOMLPP_INCLUDE_DIR ${dir} CACHE PATH "Directory holding toml++/toml.h" FORCE)
endif()
message(STATUS "toml++: ${TOMLPP_INCLUDE_DIR}")

if(MAVE_USE_SYSTEM_FASTFLOAT)
  find_path(FASTFLOAT_INCLUDE_DIR fast_float/fast_float.h)
endif()
if(NOT MAVE_USE_SYSTEM_FASTFLOAT OR NOT FASTFLOAT_INCLUDE_DIR)
  mave_fetch_tree(FASTFLOAT "${MAVE_FASTFLOAT_URL}" ${MAVE_FASTFLOAT_SHA256} fast_float/fast_float.h dir)
  set(FASTFLOAT_INCLUDE_DIR ${dir} CACHE PATH "Directory holding fast_float/fast_float.h" FORCE)
endif()
message(STATUS "fast_float: ${FASTFLOAT_INCLUDE_DIR}")

# simdjson: the JSON parser of static-model folders (tokenizer.json,
# config.json, the safetensors header), which must read a tokenizer of
# hundreds of thousands of tokens in a few milliseconds. The system's library
# (Debian: libsimdjson-dev) when installed; otherwise Debian's upstream
# archive of 3.0.1, whose single-file amalgamation is compiled in.
option(MAVE_USE_SYSTEM_SIMDJSON "Use simdjson from the system when it is installed (off in zig and cross builds)"
  ${MAVE_FROM_SYSTEM_DEFAULT})
set(MAVE_SIMDJSON_URL "https://deb.debian.org/debian/pool/main/s/simdjson/simdjson_3.0.1.orig.tar.gz"
  CACHE STRING "Source archive of simdjson 3.0.1 used when the system's is not")
set(MAVE_SIMDJSON_SHA256 "156b1bc5eb0561b2bd166b46d191fd3d95a3e709cc63761477d3b7aec2b6e9ed"
  CACHE STRING "SHA-256 of MAVE_SIMDJSON_URL")
if(MAVE_USE_SYSTEM_SIMDJSON)
  find_package(simdjson QUIET CONFIG)
endif()
if(TARGET simdjson::simdjson)
  message(STATUS "simdjson: the system's (${simdjson_DIR})")
else()
  mave_fetch_tree(SIMDJSON "${MAVE_SIMDJSON_URL}" ${MAVE_SIMDJSON_SHA256} singleheader/simdjson.cpp dir)
  add_library(mave_simdjson STATIC EXCLUDE_FROM_ALL ${dir}/singleheader/simdjson.cpp)
  target_include_directories(mave_simdjson SYSTEM PUBLIC ${dir}/singleheader)
  # Exceptions stay off: every failure comes back as an error code.
  target_compile_definitions(mave_simdjson PUBLIC SIMDJSON_EXCEPTIONS=0)
  target_compile_options(mave_simdjson PRIVATE -w)
  add_library(simdjson::simdjson ALIAS mave_simdjson)
  message(STATUS "simdjson: ${dir}/singleheader")
endif()

# utf8proc: the Unicode data (categories, case mapping, normalization forms)
# of the tokenizers of static models. Token ids must be the same in every
# build, and they follow the Unicode version of the data, so only 2.8.0
# (Unicode 15.0, Debian 12's libutf8proc-dev) is taken from the system; any
# other version there, and every zig or cross build, compiles Debian's
# upstream archive of 2.8.0 (one C file) into a static library.
# src/tokenize/unicode_tables.inc records where the `tokenizers` package's
# own Unicode data differs from this version's.
option(MAVE_USE_SYSTEM_UTF8PROC "Use utf8proc from the system when it is version 2.8.0 (off in zig and cross builds)"
  ${MAVE_FROM_SYSTEM_DEFAULT})
set(MAVE_UTF8PROC_URL "https://deb.debian.org/debian/pool/main/u/utf8proc/utf8proc_2.8.0.orig.tar.gz"
  CACHE STRING "Source archive of utf8proc 2.8.0 used when the system's is not")
set(MAVE_UTF8PROC_SHA256 "a0a60a79fe6f6d54e7d411facbfcc867a6e198608f2cd992490e46f04b1bcecc"
  CACHE STRING "SHA-256 of MAVE_UTF8PROC_URL")
if(MAVE_USE_SYSTEM_UTF8PROC)
  find_path(UTF8PROC_INCLUDE_DIR utf8proc.h)
  find_library(UTF8PROC_LIBRARY NAMES utf8proc)
  if(UTF8PROC_INCLUDE_DIR AND UTF8PROC_LIBRARY)
    file(STRINGS ${UTF8PROC_INCLUDE_DIR}/utf8proc.h utf8proc_version_lines
      REGEX "#define UTF8PROC_VERSION_(MAJOR|MINOR|PATCH) ")
    string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1.\\2.\\3"
      utf8proc_system_version "${utf8proc_version_lines}")
    if(utf8proc_system_version STREQUAL "2.8.0")
      add_library(mave_utf8proc INTERFACE)
      target_include_directories(mave_utf8proc SYSTEM INTERFACE ${UTF8PROC_INCLUDE_DIR})
      target_link_libraries(mave_utf8proc INTERFACE ${UTF8PROC_LIBRARY})
      message(STATUS "utf8proc: the system's 2.8.0 (${UTF8PROC_LIBRARY})")
    else()
      message(STATUS "utf8proc: the system's is ${utf8proc_system_version}, not 2.8.0")
    endif()
  endif()
endif()
if(NOT TARGET mave_utf8proc)
  enable_language(C)
  mave_fetch_tree(UTF8PROC "${MAVE_UTF8PROC_URL}" ${MAVE_UTF8PROC_SHA256} utf8proc_data.c dir)
  add_library(mave_utf8proc STATIC EXCLUDE_FROM_ALL ${dir}/utf8proc.c)
  # The data file is included by utf8proc.c, not compiled apart.
  target_compile_definitions(mave_utf8proc PUBLIC UTF8PROC_STATIC)
  target_include_directories(mave_utf8proc SYSTEM PUBLIC ${dir})
  target_compile_options(mave_utf8proc PRIVATE -w)
  message(STATUS "utf8proc: ${dir}")
endif()
add_library(mave::utf8proc ALIAS mave_utf8proc)

if(MAVE_BUILD_TESTS)
  if(MAVE_USE_SYSTEM_GTEST)
    find_package(GTest)
  endif()
  if(NOT TARGET GTest::gtest)
    mave_fetch_tree(GOOGLETEST "${MAVE_GTEST_URL}" ${MAVE_GTEST_SHA256} googletest/CMakeLists.txt dir)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    # Its cmake_minimum_required predates what CMake no longer warns about;
    # its policies are read as 3.10's (CMake 4 and newer).
    set(CMAKE_POLICY_VERSION_MINIMUM 3.10)
    add_subdirectory(${dir}/googletest ${CMAKE_BINARY_DIR}/_deps/googletest-build EXCLUDE_FROM_ALL)
    unset(CMAKE_POLICY_VERSION_MINIMUM)
    if(NOT TARGET GTest::gtest_main)  # older releases name no GTest:: targets
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
    message(STATUS "GoogleTest: ${dir}/googletest")
  endif()
endif()

# The decompressors of compressed input: zlib (gzip, and zip members),
# libbz2 and liblzma (xz), as the targets ZLIB::ZLIB, BZip2::BZip2 and
# LibLZMA::LibLZMA. A native build takes the system's (Debian: zlib1g-dev
# libbz2-dev liblzma-dev, which scripts/setup installs). A zig or cross build
# never does: the build machine's libraries are built for its own glibc and
# architecture, so there each is compiled from a pinned source archive with
# the build's own compiler, as a static library of position-independent code
# that the extensions carry inside them. The archives are Debian's upstream
# tarballs of the versions Debian 12 ships (zlib 1.2.13, bzip2 1.0.8,
# xz-utils 5.4.1), checked against their SHA-256 like the ones above.
option(MAVE_USE_SYSTEM_COMPRESSION
  "Use zlib, libbz2 and liblzma from the system when it has them (off in zig and cross builds)"
  ${MAVE_FROM_SYSTEM_DEFAULT})

set(MAVE_ZLIB_URL "https://deb.debian.org/debian/pool/main/z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2"
  CACHE STRING "Source archive of zlib 1.2.13 used when the system's is not")
set(MAVE_ZLIB_SHA256 "71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1"
  CACHE STRING "SHA-256 of MAVE_ZLIB_URL")
set(MAVE_BZIP2_URL "https://deb.debian.org/debian/pool/main/b/bzip2/bzip2_1.0.8.orig.tar.gz"
  CACHE STRING "Source archive of bzip2 1.0.8 used when the system's is not")
set(MAVE_BZIP2_SHA256 "ab5a03176ee106d3f0fa90e381da478ddae405918153cca248e682cd0c4a2269"
  CACHE STRING "SHA-256 of MAVE_BZIP2_URL")
set(MAVE_XZ_URL "https://deb.debian.org/debian/pool/main/x/xz-utils/xz-utils_5.4.1.orig.tar.xz"
  CACHE STRING "Source archive of xz-utils 5.4.1 used when the system's liblzma is not")
set(MAVE_XZ_SHA256 "5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5"
  CACHE STRING "SHA-256 of MAVE_XZ_URL")

if(MAVE_USE_SYSTEM_COMPRESSION)
  find_package(ZLIB)
  find_package(BZip2)
  find_package(LibLZMA)
endif()
if(NOT TARGET ZLIB::ZLIB OR NOT TARGET BZip2::BZip2 OR NOT TARGET LibLZMA::LibLZMA)
  enable_language(C)
endif()

# zlib and libbz2: their library sources are a few C files each, compiled
# here as they are (zlib's own CMake build also makes a shared library, test
# programs and install rules the package must not carry).
if(NOT TARGET ZLIB::ZLIB)
  mave_fetch_tree(ZLIB "${MAVE_ZLIB_URL}" ${MAVE_ZLIB_SHA256} zlib.h dir)
  add_library(mave_zlib STATIC EXCLUDE_FROM_ALL
    ${dir}/adler32.c ${dir}/compress.c ${dir}/crc32.c ${dir}/deflate.c ${dir}/gzclose.c
    ${dir}/gzlib.c ${dir}/gzread.c ${dir}/gzwrite.c ${dir}/infback.c ${dir}/inffast.c
    ${dir}/inflate.c ${dir}/inftrees.c ${dir}/trees.c ${dir}/uncompr.c ${dir}/zutil.c)
  # What zlib's configure finds on every Linux system.
  target_compile_definitions(mave_zlib PRIVATE HAVE_UNISTD_H HAVE_STDARG_H)
  target_include_directories(mave_zlib SYSTEM INTERFACE ${dir})
  target_compile_options(mave_zlib PRIVATE -w)
  add_library(ZLIB::ZLIB ALIAS mave_zlib)
  message(STATUS "zlib: ${dir}")
endif()

if(NOT TARGET BZip2::BZip2)
  mave_fetch_tree(BZIP2 "${MAVE_BZIP2_URL}" ${MAVE_BZIP2_SHA256} bzlib.h dir)
  add_library(mave_bzip2 STATIC EXCLUDE_FROM_ALL
    ${dir}/blocksort.c ${dir}/huffman.c ${dir}/crctable.c ${dir}/randtable.c
    ${dir}/compress.c ${dir}/decompress.c ${dir}/bzlib.c)
  target_compile_definitions(mave_bzip2 PRIVATE _FILE_OFFSET_BITS=64)
  target_include_directories(mave_bzip2 SYSTEM INTERFACE ${dir})
  target_compile_options(mave_bzip2 PRIVATE -w)
  add_library(BZip2::BZip2 ALIAS mave_bzip2)
  message(STATUS "libbz2: ${dir}")
endif()

# liblzma: its configuration (the checks of its CMake build) is too large to
# repeat, so its own build runs apart, with this build's compiler and target,
# making the static library and nothing else; nothing of it is installed.
if(NOT TARGET LibLZMA::LibLZMA)
  include(ExternalProject)
  mave_fetch_tree(XZ "${MAVE_XZ_URL}" ${MAVE_XZ_SHA256} src/liblzma/api/lzma.h dir)
  set(xz_build ${CMAKE_BINARY_DIR}/_deps/xz-build)
  set(xz_arguments
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
    -DCMAKE_AR=${CMAKE_AR}
    -DCMAKE_RANLIB=${CMAKE_RANLIB}
    -DCMAKE_C_FLAGS=${CMAKE_C_FLAGS}
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DBUILD_SHARED_LIBS=OFF
    # The symbolic links of the xz program are rules Ninja refuses.
    -DCREATE_XZ_SYMLINKS=OFF
    -DCREATE_LZMA_SYMLINKS=OFF)
  if(CMAKE_CROSSCOMPILING)
    list(APPEND xz_arguments -DCMAKE_SYSTEM_NAME=${CMAKE_SYSTEM_NAME}
      -DCMAKE_SYSTEM_PROCESSOR=${CMAKE_SYSTEM_PROCESSOR})
  endif()
  ExternalProject_Add(mave_xz_build
    SOURCE_DIR ${dir}
    BINARY_DIR ${xz_build}
    DOWNLOAD_COMMAND ""
    CMAKE_ARGS ${xz_arguments}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${xz_build} --target liblzma
    BUILD_BYPRODUCTS ${xz_build}/liblzma.a
    INSTALL_COMMAND ""
    EXCLUDE_FROM_ALL TRUE)
  find_package(Threads REQUIRED)
  add_library(mave_liblzma INTERFACE)
  target_link_libraries(mave_liblzma INTERFACE ${xz_build}/liblzma.a Threads::Threads)
  target_include_directories(mave_liblzma SYSTEM INTERFACE ${dir}/src/liblzma/api)
  add_dependencies(mave_liblzma mave_xz_build)
  add_library(LibLZMA::LibLZMA ALIAS mave_liblzma)
  message(STATUS "liblzma: ${dir}")
endif()
