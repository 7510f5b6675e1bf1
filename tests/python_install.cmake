# Installs the Python package the way the README says, `pip install ./python`
# alone, into a fresh virtual environment with no package index (the build
# backend builds the library with CMake and puts it in the wheel), then runs
# the package's tests against the installed copy.
#   -DPYTHON=<python3> -DSOURCE=<python/ folder> -DWORK_DIR=<dir>
file(REMOVE_RECURSE ${WORK_DIR})
get_filename_component(parent ${WORK_DIR} DIRECTORY)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${parent})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
run(${PYTHON} -m venv --system-site-packages ${WORK_DIR})
run(${CMAKE_COMMAND} -E env --unset=BRISVEL_BUNDLE PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1
    PIP_DISABLE_PIP_VERSION_CHECK=1 BRISVEL_BUILD_JOBS=2 ${WORK_DIR}/bin/pip install ${SOURCE})
run(${CMAKE_COMMAND} -E env --unset=BRISVEL_LIBRARY --unset=PYTHONPATH BRISVEL_TEST_INSTALLED=1
    ${WORK_DIR}/bin/python -c
    "import brisvel, os; assert 'site-packages' in brisvel.__file__, brisvel.__file__; assert os.path.exists(os.path.join(os.path.dirname(brisvel.__file__), 'libbrisvel.so')); print(brisvel.__file__)")
run(${CMAKE_COMMAND} -E env --unset=BRISVEL_LIBRARY --unset=PYTHONPATH BRISVEL_TEST_INSTALLED=1
    PYTHONDONTWRITEBYTECODE=1 ${WORK_DIR}/bin/python -m pytest -q -p no:cacheprovider ${SOURCE}/tests)
message(STATUS "installed offline in ${WORK_DIR}; the tests passed against it:\n${out}")
