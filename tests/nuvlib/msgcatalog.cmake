# The catalogue test reads the message texts from the source tree.
target_compile_definitions(nuvlib_msgcatalog_test PRIVATE PARLO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
