# The settings test changes the registry of a running EMS with the operators' CLI.
if(TARGET nuvlib_emssettings_test AND TARGET parlo-reg)
  target_compile_definitions(nuvlib_emssettings_test PRIVATE PARLO_REG_BIN="$<TARGET_FILE:parlo-reg>")
  add_dependencies(nuvlib_emssettings_test parlo-reg)
endif()
