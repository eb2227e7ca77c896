# Stream tests: every byte the real program stores into the card's data
# window, recorded by a preloaded library (watch/) and checked byte for byte.
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/watch ${CMAKE_CURRENT_BINARY_DIR}/watch)

# Starts a program with the recorder preloaded.
add_library(veldran_watch_run STATIC watch/watch_run.cpp)
target_include_directories(veldran_watch_run PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/watch)
target_compile_definitions(veldran_watch_run PRIVATE VELDRAN_WATCH_LIB="$<TARGET_FILE:veldran_watch>")
target_link_libraries(veldran_watch_run PUBLIC veldran_testkit)
add_dependencies(veldran_watch_run veldran_watch)

# Built like the program (sanitizers included) so the recorder is proven
# against the same kind of binary it will be preloaded into.
add_executable(veldran-watch-fake-writer watch/fake_writer.cpp)

add_executable(test_stream_recorder test_stream_recorder.cpp)
target_compile_definitions(test_stream_recorder PRIVATE
  FAKE_WRITER="$<TARGET_FILE:veldran-watch-fake-writer>")
target_link_libraries(test_stream_recorder PRIVATE veldran_watch_run veldran_test_support GTest::gtest_main)
add_dependencies(test_stream_recorder veldran-watch-fake-writer)
gtest_discover_tests(test_stream_recorder PROPERTIES TIMEOUT 60 LABELS stream)

add_executable(test_stream test_stream.cpp)
target_compile_definitions(test_stream PRIVATE VELDRAN_PROGRAM="$<TARGET_FILE:veldran>")
target_link_libraries(test_stream PRIVATE veldran_watch_run veldran_test_support GTest::gtest_main)
add_dependencies(test_stream veldran)
gtest_discover_tests(test_stream PROPERTIES TIMEOUT 120 LABELS stream)
