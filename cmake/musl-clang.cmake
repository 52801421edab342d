# Builds against musl from Debian's packages: clang compiles with musl's
# headers (musl-dev) and libc++'s header-only pieces (libc++-dev), and the
# link takes musl's static C library and clang's own runtime pieces
# (libclang-rt-N-dev), but no C++ runtime. It builds for the host's
# architecture with whichever clang is installed. The musl preset uses it:
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

# clang's own runtime for the target, as a real toolchain links it: the
# builtins library (__udivti3 for 128-bit division and the like) and the
# crtbegin and crtend objects (__dso_handle, which a namespace-scope object
# with a destructor needs). They come with libclang-rt-N-dev.
execute_process(
  COMMAND ${zelk_clang} --target=${zelk_musl_triple} --rtlib=compiler-rt -print-libgcc-file-name
  OUTPUT_VARIABLE zelk_builtins OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE libclang_rt.builtins clang_rt.crtbegin zelk_crtbegin "${zelk_builtins}")
string(REGEX REPLACE "[.]a$" ".o" zelk_crtbegin "${zelk_crtbegin}")
string(REPLACE clang_rt.crtbegin clang_rt.crtend zelk_crtend "${zelk_crtbegin}")
foreach(file IN ITEMS "${zelk_builtins}" "${zelk_crtbegin}" "${zelk_crtend}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "clang's runtime '${file}' not found; install libclang-rt-N-dev for ${zelk_clang}")
  endif()
endforeach()

# A musl build links no C++ runtime, so it leaves out what needs one (the
# start-up benchmark).
set(ZELK_MUSL ON)
set(CMAKE_C_COMPILER ${zelk_clang})
set(CMAKE_CXX_COMPILER ${zelk_clangxx})
set(CMAKE_C_COMPILER_TARGET ${zelk_musl_triple})
set(CMAKE_CXX_COMPILER_TARGET ${zelk_musl_triple})

# No C++ runtime is linked, so nothing can throw or look up a type. Only
# musl's headers, and before them libc++'s for C++: none of the host's.
set(CMAKE_C_FLAGS_INIT "-nostdlibinc")
set(CMAKE_CXX_FLAGS_INIT "-nostdlibinc -fno-exceptions -fno-rtti")
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${zelk_musl_include})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${zelk_libcxx_include} ${zelk_musl_include})
# musl's start files and C library around clang's runtime, and nothing of the
# host's: no C++ runtime, no libgcc.
# The link sees the compile flags too, where -nostdlibinc has nothing to do.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument -static -nostdlib \
${zelk_musl_lib_dir}/crt1.o ${zelk_musl_lib_dir}/crti.o ${zelk_crtbegin}")
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES "-Wl,--start-group ${zelk_musl_lib_dir}/libc.a")
  string(APPEND CMAKE_${lang}_STANDARD_LIBRARIES
    " ${zelk_builtins} -Wl,--end-group ${zelk_crtend} ${zelk_musl_lib_dir}/crtn.o")
endforeach()

# find_library, find_path and find_package look in musl's tree alone, never
# at the host's glibc builds: a root of links to musl's headers and
# libraries, made once per build tree and handed to its try_compile checks.
if(NOT ZELK_MUSL_ROOT)
  set(ZELK_MUSL_ROOT ${CMAKE_BINARY_DIR}/musl-root)
  file(MAKE_DIRECTORY ${ZELK_MUSL_ROOT}/usr)
  file(CREATE_LINK ${zelk_musl_lib_dir} ${ZELK_MUSL_ROOT}/usr/lib SYMBOLIC)
  file(CREATE_LINK ${zelk_musl_include} ${ZELK_MUSL_ROOT}/usr/include SYMBOLIC)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELK_MUSL_ROOT)
set(CMAKE_FIND_ROOT_PATH ${ZELK_MUSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
