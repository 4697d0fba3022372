# The shared memory of the IMT links comes from the EMT transport.
target_link_libraries(nuvlib_test PRIVATE emt)
