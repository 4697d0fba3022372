# Extra needs of the runtime-services tests.
target_compile_definitions(nuvlib_msgcatalog_test PRIVATE PARLO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
