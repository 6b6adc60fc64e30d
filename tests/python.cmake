# The Python client's tests: pytest starts its own valdrixd-sim on a free port.
# Debian's python3 comes first because python3-pytest is installed for it, whatever
# other interpreters stand earlier on PATH.
find_program(VALDRIX_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VALDRIX_PYTHON NAMES python3)
if(NOT VALDRIX_PYTHON OR NOT TARGET valdrixd-sim)
  return()
endif()

add_test(NAME python
         COMMAND ${VALDRIX_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/clients/python)
set(valdrix_python_env "VALDRIX_SIM=$<TARGET_FILE:valdrixd-sim>" "PYTHONDONTWRITEBYTECODE=1")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 valdrix_python_emulator)
  find_program(VALDRIX_PYTHON_EMULATOR ${valdrix_python_emulator})
  if(VALDRIX_PYTHON_EMULATOR)
    list(APPEND valdrix_python_env "VALDRIX_EMULATOR=${VALDRIX_PYTHON_EMULATOR}")
  endif()
endif()
set_tests_properties(python PROPERTIES ENVIRONMENT "${valdrix_python_env}" TIMEOUT 300)
