# brevane_fuzz_target(NAME SOURCES src... [LIBS lib...])
#
# One fuzz harness: a source that defines LLVMFuzzerTestOneInput, its seed
# corpus in tests/fuzz/corpus/NAME/. It becomes the program fuzz_NAME.
#   - Normal builds (any compiler): linked with a small main that replays the
#     files it is given; ctest entry fuzz_corpus_NAME replays the corpus, so a
#     crash found once stays fixed.
#   - With -DBREVANE_FUZZ=ON (clang): a libFuzzer program with AddressSanitizer
#     and UndefinedBehaviorSanitizer; `make fuzz` runs it.
set(BREVANE_FUZZ_CORPUS_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
set(BREVANE_FUZZ_REPLAY_MAIN ${PROJECT_SOURCE_DIR}/tests/fuzz/ReplayMain.cpp)
if(NOT TARGET fuzz_targets)
  add_custom_target(fuzz_targets)
endif()

function(brevane_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  set(exe fuzz_${name})
  if(BREVANE_FUZZ)
    add_executable(${exe} ${F_SOURCES})
    target_compile_options(${exe} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
    target_link_options(${exe} PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    add_executable(${exe} ${F_SOURCES} ${BREVANE_FUZZ_REPLAY_MAIN})
  endif()
  target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${exe} PRIVATE ${F_LIBS})
  add_dependencies(fuzz_targets ${exe})
  # Every input of the corpus once, no time budget (libFuzzer: -runs=0).
  add_test(NAME fuzz_corpus_${name} COMMAND ${exe} -runs=0 ${BREVANE_FUZZ_CORPUS_DIR}/${name})
  set_tests_properties(fuzz_corpus_${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
