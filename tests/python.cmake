# The Python client's tests: pytest starts its own valdrixd-sim on a free port.
# Debian's python3 comes first because python3-pytest is installed for it, whatever
# other interpreters stand earlier on PATH.
find_program(VALDRIX_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VALDRIX_PYTHON NAMES python3)
if(NOT VALDRIX_PYTHON OR NOT TARGET valdrixd-sim)
  return()
endif()

# The package's compiled accumulation kernel, built next to the other build
# products (never into the source tree) as python-kernels/valdrix/_kernels*.so.
# The tests put that tree on PYTHONPATH, and the package, which spans every
# valdrix directory on the path, imports it as valdrix._kernels. Without a C
# compiler or python3-dev the analysis runs on numpy alone (and says so), so a
# failed build only warns.
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

# Three parts that ctest runs side by side: most of their time is spent
# waiting on simulators, browsers and subprocesses, not computing.
set(valdrix_python_tests ${CMAKE_SOURCE_DIR}/clients/python/tests)
set(valdrix_python_parts
    "python-host:test_client.py test_batch.py test_capture.py test_campaign.py test_codes.py test_tools.py"
    "python-files:test_traces.py test_trace_faults.py test_trace_formats.py test_trace_formats_fuzz.py test_trace_stores.py test_analysis.py test_plot.py test_notebook.py"
    "python-web:test_web.py test_web_browser.py")
set(valdrix_python_names)
set(valdrix_python_listed)
foreach(part IN LISTS valdrix_python_parts)
  string(REPLACE ":" ";" part "${part}")
  list(GET part 0 name)
  list(GET part 1 files)
  separate_arguments(files UNIX_COMMAND "${files}")
  list(TRANSFORM files PREPEND ${valdrix_python_tests}/)
  list(APPEND valdrix_python_listed ${files})
  add_test(NAME ${name}
           COMMAND ${VALDRIX_PYTHON} -m pytest -q -p no:cacheprovider --rootdir ${CMAKE_SOURCE_DIR}/clients/python ${files})
  list(APPEND valdrix_python_names ${name})
endforeach()
# A test file that no part names would silently never run.
file(GLOB valdrix_python_all ${valdrix_python_tests}/test_*.py)
list(REMOVE_ITEM valdrix_python_all ${valdrix_python_listed})
if(valdrix_python_all)
  message(FATAL_ERROR "Python test files in no ctest part (tests/python.cmake): ${valdrix_python_all}")
endif()
set(valdrix_python_env "VALDRIX_SIM=$<TARGET_FILE:valdrixd-sim>" "PYTHONDONTWRITEBYTECODE=1"
    "PYTHONPATH=${valdrix_kernels_dir}")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 valdrix_python_emulator)
  find_program(VALDRIX_PYTHON_EMULATOR ${valdrix_python_emulator})
  if(VALDRIX_PYTHON_EMULATOR)
    list(APPEND valdrix_python_env "VALDRIX_EMULATOR=${VALDRIX_PYTHON_EMULATOR}")
  endif()
endif()
# The suite starts simulators, venvs and Dask clusters: on a busy 2-core machine it takes minutes.
set_tests_properties(${valdrix_python_names} PROPERTIES ENVIRONMENT "${valdrix_python_env}" TIMEOUT 600)
