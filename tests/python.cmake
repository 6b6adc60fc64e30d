# The Python client's tests: pytest starts its own valdrixd-sim on a free port.
# Debian's python3 comes first because python3-pytest is installed for it, whatever
# other interpreters stand earlier on PATH.
find_program(VALDRIX_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VALDRIX_PYTHON NAMES python3)
if(NOT VALDRIX_PYTHON OR NOT TARGET valdrixd-sim)
  return()
endif()

# The package's compiled accumulation kernel, built next to the other build
# products (never into the source tree); without a C compiler or python3-dev the
# analysis runs on numpy alone, so a failed build only warns.
set(valdrix_kernels_dir ${CMAKE_CURRENT_BINARY_DIR}/python-kernels)
add_custom_command(
  OUTPUT ${valdrix_kernels_dir}/stamp
  COMMAND sh -c "'${VALDRIX_PYTHON}' setup.py -q build_ext --build-lib '${valdrix_kernels_dir}' --build-temp '${valdrix_kernels_dir}/tmp' >'${valdrix_kernels_dir}.log' 2>&1 || echo 'warning: the analysis kernel did not build (see ${valdrix_kernels_dir}.log); the analysis tests use numpy alone'"
  COMMAND ${CMAKE_COMMAND} -E touch ${valdrix_kernels_dir}/stamp
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/clients/python
  DEPENDS ${CMAKE_SOURCE_DIR}/clients/python/valdrix/_kernels.c ${CMAKE_SOURCE_DIR}/clients/python/setup.py
  COMMENT "Building the Python analysis kernel"
  VERBATIM)
add_custom_target(python_kernels ALL DEPENDS ${valdrix_kernels_dir}/stamp)

add_test(NAME python
         COMMAND ${VALDRIX_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_SOURCE_DIR}/clients/python)
set(valdrix_python_env "VALDRIX_SIM=$<TARGET_FILE:valdrixd-sim>" "PYTHONDONTWRITEBYTECODE=1"
    "VALDRIX_KERNELS_DIR=${valdrix_kernels_dir}")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 valdrix_python_emulator)
  find_program(VALDRIX_PYTHON_EMULATOR ${valdrix_python_emulator})
  if(VALDRIX_PYTHON_EMULATOR)
    list(APPEND valdrix_python_env "VALDRIX_EMULATOR=${VALDRIX_PYTHON_EMULATOR}")
  endif()
endif()
set_tests_properties(python PROPERTIES ENVIRONMENT "${valdrix_python_env}" TIMEOUT 600)
