# The reader transcript driver, run by the reader tests with the scripts in data/reader.
add_executable(reader_driver ${CMAKE_CURRENT_SOURCE_DIR}/data/reader/reader_driver.cpp)
target_link_libraries(reader_driver PRIVATE nuvlib)
add_dependencies(nuvlib_test reader_driver)
target_compile_definitions(nuvlib_test PRIVATE
  READER_DRIVER_BIN="$<TARGET_FILE:reader_driver>"
  READER_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/reader")
