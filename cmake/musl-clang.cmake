# Builds against musl from Debian's packages: clang compiles with musl's
# headers (musl-dev) and libc++'s header-only pieces (libc++-dev), and the
# link takes musl's static C library alone, so the result needs no C++
# runtime. It builds for the host's architecture with whichever clang is
# installed. The musl preset uses it:
#   cmake --preset musl && cmake --build --preset musl

# musl-dev keeps its headers and libraries under the target triple, as in
# /usr/lib/x86_64-linux-musl or /usr/lib/arm-linux-musleabihf.
file(GLOB zelk_musl_libs /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl*/libc.a)
if(NOT zelk_musl_libs)
  file(GLOB zelk_musl_libs /usr/lib/*-linux-musl*/libc.a)
endif()
list(LENGTH zelk_musl_libs zelk_musl_count)
if(NOT zelk_musl_count EQUAL 1)
  message(FATAL_ERROR "musl for ${CMAKE_HOST_SYSTEM_PROCESSOR} not found "
    "(found: '${zelk_musl_libs}'); install musl-dev")
endif()
get_filename_component(zelk_musl_lib_dir ${zelk_musl_libs} DIRECTORY)
get_filename_component(zelk_musl_triple ${zelk_musl_lib_dir} NAME)
set(zelk_musl_include /usr/include/${zelk_musl_triple})

# Plain clang where it exists, else the newest versioned one.
find_program(zelk_clang NAMES clang)
if(NOT zelk_clang)
  file(GLOB zelk_clangs /usr/bin/clang-[0-9] /usr/bin/clang-[0-9][0-9])
  if(NOT zelk_clangs)
    message(FATAL_ERROR "clang not found; install clang")
  endif()
  list(SORT zelk_clangs COMPARE NATURAL ORDER DESCENDING)
  list(GET zelk_clangs 0 zelk_clang)
endif()
# clang++ sits beside clang, and libc++'s headers beside clang's own
# installation, where clang itself would look for them.
get_filename_component(zelk_clang_real ${zelk_clang} REALPATH)
get_filename_component(zelk_clang_bin ${zelk_clang_real} DIRECTORY)
get_filename_component(zelk_clang_name ${zelk_clang} NAME)
string(REPLACE clang clang++ zelk_clangxx_name ${zelk_clang_name})
get_filename_component(zelk_clang_dir ${zelk_clang} DIRECTORY)
find_program(zelk_clangxx NAMES ${zelk_clangxx_name} clang++ HINTS ${zelk_clang_dir} ${zelk_clang_bin})
find_path(zelk_libcxx_include __config
  HINTS ${zelk_clang_bin}/../include/c++/v1 /usr/include/c++/v1 NO_DEFAULT_PATH)
if(NOT zelk_clangxx OR NOT zelk_libcxx_include)
  message(FATAL_ERROR "clang++ or libc++'s headers not found beside ${zelk_clang}; "
    "install clang and libc++-dev")
endif()

# A musl build links no C++ runtime, so it leaves out what needs one (the
# start-up benchmark).
set(ZELK_MUSL ON)
set(CMAKE_C_COMPILER ${zelk_clang})
set(CMAKE_CXX_COMPILER ${zelk_clangxx})
set(CMAKE_C_COMPILER_TARGET ${zelk_musl_triple})
set(CMAKE_CXX_COMPILER_TARGET ${zelk_musl_triple})

# Only musl's headers, and before them libc++'s for C++: none of the host's.
set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem ${zelk_musl_include}")
set(CMAKE_CXX_FLAGS_INIT
  "-nostdlibinc -isystem ${zelk_libcxx_include} -isystem ${zelk_musl_include}")
# musl's start files and its C library, and nothing of the host's. The
# compile flags come along to the link, where the include ones mean nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument \
  -static -nostdlib ${zelk_musl_lib_dir}/crt1.o ${zelk_musl_lib_dir}/crti.o")
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES "${zelk_musl_lib_dir}/libc.a ${zelk_musl_lib_dir}/crtn.o")
endforeach()
