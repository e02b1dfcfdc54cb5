# libFuzzer targets over the C++ core (no Python): configure with clang and
# -DKELVANE_FUZZ=ON, then build the fuzz_* targets; fuzz/run.sh does both.
option(KELVANE_FUZZ "Build libFuzzer targets for the core (needs clang)" OFF)

if(KELVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELVANE_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()

  # Every check halts, except pointer-overflow, which stays recoverable so
  # that fuzz/ubsan.supp can silence RapidJSON's own null-plus-offset in its
  # stack (system header, not our code); UBSAN_OPTIONS=halt_on_error=1 (set
  # by fuzz/run.sh) still halts on every report that is not suppressed.
  set(KELVANE_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                         -fsanitize-recover=pointer-overflow -fno-omit-frame-pointer -g)

  # The fuzz build directory instruments the core itself for coverage and
  # sanitizers; the targets link it like the extension does.
  target_compile_options(kelvane_core PUBLIC ${KELVANE_FUZZ_FLAGS} -fsanitize=fuzzer-no-link)

  set(KELVANE_FUZZ_TARGETS schema line time numbers decimal feed lint)
  set(KELVANE_FUZZ_EXECUTABLES)
  foreach(name IN LISTS KELVANE_FUZZ_TARGETS)
    list(APPEND KELVANE_FUZZ_EXECUTABLES fuzz_${name})
    add_executable(fuzz_${name} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_${name}.cpp)
    target_link_libraries(fuzz_${name} PRIVATE kelvane_core)
    # The schema target also reads schemas as the feed reader does.
    if(name STREQUAL "schema" OR name STREQUAL "feed" OR name STREQUAL "lint")
      target_sources(fuzz_${name} PRIVATE ${KELVANE_FEED_SOURCES})
      target_include_directories(fuzz_${name} SYSTEM PRIVATE ${KELVANE_RAPIDJSON_INCLUDE})
    endif()
    target_compile_options(fuzz_${name} PRIVATE ${KELVANE_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_compile_definitions(fuzz_${name} PRIVATE
      KELVANE_FUZZ_SCHEMA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/schemas")
  endforeach()
  add_custom_target(fuzz_all DEPENDS ${KELVANE_FUZZ_EXECUTABLES})
endif()
