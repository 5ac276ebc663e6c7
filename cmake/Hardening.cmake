# Hardening and reproducibility flags for every target of the tree, the
# executables and any shared object alike, so that nothing a package ships is
# built more weakly than the rest.
#
# The client decides whether a privileged operation goes ahead: a memory
# fault in it should end the run, not be steered. Hence a position-
# independent executable (address randomisation), read-only relocations
# resolved at start (-z relro -z now), checked string and memory calls
# (_FORTIFY_SOURCE), canaries on every frame with arrays, probes on large
# stack growth and indirect-branch markers (-fcf-protection) where the
# compiler supports them.

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

option(KOA_HARDENING "Build position-independent, with the stack, RELRO and fortify hardening" ON)

if(KOA_HARDENING)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)

  foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "KOA_HAS${flag}" have)
    check_cxx_compiler_flag(${flag} ${have})
    if(${have})
      add_compile_options(${flag})
    endif()
  endforeach()

  add_link_options(LINKER:-z,relro LINKER:-z,now)

  # _FORTIFY_SOURCE needs optimisation (glibc warns without it), and under
  # the sanitizers its checked copies would hide accesses from them. A value
  # given by the builder (dpkg-buildflags, a distribution's compiler) wins:
  # defining it twice with different values is a warning.
  string(TOUPPER "${CMAKE_BUILD_TYPE}" koa_build_type)
  set(koa_all_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${koa_build_type}}")
  if(NOT koa_build_type STREQUAL "DEBUG"
      AND NOT koa_all_flags MATCHES "_FORTIFY_SOURCE"
      AND NOT koa_all_flags MATCHES "-fsanitize=")
    add_compile_definitions(_FORTIFY_SOURCE=2)
  endif()
endif()

# Two builds of the same commit in different folders must give the same
# bytes: no source or build path may end up in the binaries (assertion texts,
# debug information).
add_compile_options(
  "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=")
