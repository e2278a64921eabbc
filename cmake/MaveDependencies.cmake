# The two third-party C++ dependencies: toml++ (headers only, always) and
# GoogleTest (only with MAVE_BUILD_TESTS). Each comes from the system when it
# is installed there, and otherwise from one pinned archive, downloaded once
# into the build tree and checked against its SHA-256, so that a machine with
# only a compiler, CMake and network access builds the package.
#
# The pinned archives are Debian's packages of the versions the project is
# tested with (toml++ 3.3.0, whose unicode classifier src/format/metadata.cpp
# replaces, and GoogleTest 1.12.1): the fallback compiles the very headers the
# system build uses, so metadata is parsed and written the same either way,
# and Debian's signed package index vouches for the checksums. A packager can
# point the fallback at a local copy (MAVE_TOMLPP_URL, MAVE_GTEST_URL, with
# the matching *_SHA256) or at an unpacked tree (FETCHCONTENT_SOURCE_DIR_TOMLPP,
# FETCHCONTENT_SOURCE_DIR_GOOGLETEST); a release archive of either project
# (a .tar.gz of its sources) works as well as a .deb.

include(FetchContent)

option(MAVE_USE_SYSTEM_TOMLPP "Use toml++ from the system when it is installed" ON)
option(MAVE_USE_SYSTEM_GTEST "Use GoogleTest from the system when it is installed" ON)

set(MAVE_TOMLPP_URL
  "https://deb.debian.org/debian/pool/main/t/tomlplusplus/libtomlplusplus-dev_3.3.0+ds-1_amd64.deb"
  CACHE STRING "Archive of toml++ 3.3.0 used when the system has none")
set(MAVE_TOMLPP_SHA256 "2779cce0001466dcf60eb6262ff68a888d49f9e30aee80c499d1d4f6f9f6e12e"
  CACHE STRING "SHA-256 of MAVE_TOMLPP_URL")
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
# libbz2 and liblzma (xz), from the system (Debian: zlib1g-dev libbz2-dev
# liblzma-dev, installed by scripts/setup).
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(LibLZMA REQUIRED)
