# The settings test changes the registry of a running EMS with the operators' CLI.
target_compile_definitions(nuvlib_test PRIVATE PARLO_REG_BIN="$<TARGET_FILE:parlo-reg>")
add_dependencies(nuvlib_test parlo-reg)
