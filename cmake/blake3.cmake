# BLAKE3 from the official C implementation: a system libblake3 when pkg-config
# finds one, else the C sources Debian ships inside librust-blake3-dev.
pkg_check_modules(BLAKE3 QUIET IMPORTED_TARGET libblake3)
if(BLAKE3_FOUND)
  add_library(zdz_blake3 INTERFACE)
  target_link_libraries(zdz_blake3 INTERFACE PkgConfig::BLAKE3)
  return()
endif()

file(GLOB blake3_dirs /usr/share/cargo/registry/blake3-*/c)
list(SORT blake3_dirs)
list(POP_BACK blake3_dirs BLAKE3_C_DIR)
if(NOT BLAKE3_C_DIR OR NOT EXISTS ${BLAKE3_C_DIR}/blake3.c)
  message(FATAL_ERROR "BLAKE3 C sources not found: run scripts/setup (librust-blake3-dev)")
endif()
message(STATUS "BLAKE3 C sources: ${BLAKE3_C_DIR}")

set(blake3_sources
  ${BLAKE3_C_DIR}/blake3.c ${BLAKE3_C_DIR}/blake3_dispatch.c ${BLAKE3_C_DIR}/blake3_portable.c)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND blake3_sources
    ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
    ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)
else()
  set(blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
add_library(zdz_blake3 STATIC ${blake3_sources})
target_compile_definitions(zdz_blake3 PRIVATE ${blake3_defs})
target_include_directories(zdz_blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
set_target_properties(zdz_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
