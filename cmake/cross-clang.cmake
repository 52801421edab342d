# Builds for another Debian architecture with clang --target and Debian's
# cross packages, which install beside gcc-multilib where the gcc-TRIPLET
# compilers do not: binutils-TRIPLET, libc6-dev-ARCH-cross,
# libgcc-12-dev-ARCH-cross and libstdc++-12-dev-ARCH-cross. ZELK_ARCH names
# the Debian architecture, ZELK_TRIPLE its GNU triple and ZELK_MACHINE, where
# given, the machine readelf names for it. The cross presets set them, one
# preset an architecture:
#   cmake --preset NAME && cmake --build build-NAME
if(NOT ZELK_ARCH OR NOT ZELK_TRIPLE)
  message(FATAL_ERROR "set ZELK_ARCH (a Debian architecture) and ZELK_TRIPLE (its GNU "
    "triple), or use one of the cross presets, which do")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELK_ARCH ZELK_TRIPLE ZELK_MACHINE)

find_program(zelk_clang NAMES clang clang-16 clang-15 clang-14 REQUIRED)
find_program(zelk_clangxx NAMES clang++ clang++-16 clang++-15 clang++-14 REQUIRED)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZELK_ARCH})
set(CMAKE_C_COMPILER ${zelk_clang})
set(CMAKE_CXX_COMPILER ${zelk_clangxx})
set(CMAKE_C_COMPILER_TARGET ${ZELK_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ZELK_TRIPLE})

# Before CMake's own checks, whose failure would not say what is missing: a
# real compile and static link of a program that includes <errno.h>.
get_property(zelk_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT zelk_in_try_compile AND NOT zelk_cross_checked)
  set(zelk_probe ${CMAKE_BINARY_DIR}/zelk-cross-probe.c)
  file(WRITE ${zelk_probe} "#include <errno.h>\nint main(void) { return errno; }\n")
  execute_process(
    COMMAND ${zelk_clang} --target=${ZELK_TRIPLE} -static ${zelk_probe} -o ${zelk_probe}.out
    RESULT_VARIABLE zelk_probe_failed ERROR_VARIABLE zelk_probe_error)
  if(zelk_probe_failed)
    message(FATAL_ERROR "Cannot build for ${ZELK_TRIPLE}:\n${zelk_probe_error}Install Debian's "
      "binutils-${ZELK_TRIPLE} libc6-dev-${ZELK_ARCH}-cross libgcc-12-dev-${ZELK_ARCH}-cross "
      "libstdc++-12-dev-${ZELK_ARCH}-cross")
  endif()
  if(ZELK_MACHINE)
    execute_process(COMMAND ${ZELK_TRIPLE}-readelf -h ${zelk_probe}.out OUTPUT_VARIABLE zelk_header)
    if(NOT zelk_header MATCHES "Machine: *${ZELK_MACHINE}\n")
      message(FATAL_ERROR "${ZELK_TRIPLE} programs are no ${ZELK_MACHINE} programs:\n${zelk_header}")
    endif()
  endif()
  set(zelk_cross_checked ON)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${ZELK_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
