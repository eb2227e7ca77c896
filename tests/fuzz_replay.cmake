# Replays every fuzzing seed and every input the fuzzer kept (fuzz/corpus)
# against the real program: each one once drove the program down a path of
# its own, so a crash, hang or sanitizer report on any of them is a
# regression. In a -DVELDRAN_SANITIZE=ON build the program replayed is the
# sanitized one.
add_test(NAME fuzz_corpus_replay
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/replay_corpus.sh
          $<TARGET_FILE:veldran> $<TARGET_FILE:veldran-simbus>
          ${PROJECT_SOURCE_DIR}/fuzz/seeds ${PROJECT_SOURCE_DIR}/fuzz/corpus)
set_tests_properties(fuzz_corpus_replay PROPERTIES TIMEOUT 120)

