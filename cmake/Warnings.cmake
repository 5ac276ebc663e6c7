# Every target of ours builds with the same strict warning set, on g++ and clang.
add_library(koa_warnings INTERFACE)
target_compile_options(koa_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(koa_warnings INTERFACE -Wduplicated-cond -Wlogical-op)
endif()
option(KOA_WERROR "Treat warnings as errors" OFF)
if(KOA_WERROR)
  target_compile_options(koa_warnings INTERFACE -Werror)
endif()
