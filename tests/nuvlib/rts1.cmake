# The reader transcript driver, run by the reader tests with scripts beside them.
add_executable(rts1_reader_driver ${CMAKE_CURRENT_SOURCE_DIR}/data/rts1/reader_driver.cpp)
target_link_libraries(rts1_reader_driver PRIVATE nuvlib)
add_dependencies(nuvlib_reader_test rts1_reader_driver)
target_compile_definitions(nuvlib_reader_test PRIVATE
  RTS1_READER_DRIVER="$<TARGET_FILE:rts1_reader_driver>"
  RTS1_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/rts1")
