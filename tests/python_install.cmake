# Installs the Python package the way the README says, into a fresh virtual
# environment with no package index, with this build's library bundled
# beside it, and solves a SciPy matrix with the installed copy.
#   -DPYTHON=<python3> -DSOURCE=<python/ folder> -DWORK_DIR=<dir> -DLIBRARY=<libbrisvel>
file(REMOVE_RECURSE ${WORK_DIR})
get_filename_component(parent ${WORK_DIR} DIRECTORY)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${parent})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${rc}):\n${out}\n${err}")
  endif()
endfunction()
run(${PYTHON} -m venv --system-site-packages ${WORK_DIR})
run(${CMAKE_COMMAND} -E env PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
    BRISVEL_BUNDLE=${LIBRARY} ${WORK_DIR}/bin/pip install ${SOURCE})
run(${CMAKE_COMMAND} -E env --unset=BRISVEL_LIBRARY --unset=PYTHONPATH ${WORK_DIR}/bin/python -c
    "import brisvel, numpy as np, scipy.sparse as sp; a = sp.random(200, 200, density=0.05, random_state=1) + 10 * sp.identity(200); b = np.ones(200); x, info = brisvel.solve(a, b); r = np.linalg.norm(b - a @ x) / np.linalg.norm(b); assert 'site-packages' in brisvel.__file__ and r <= 1e-10, (brisvel.__file__, r); print(info)")
message(STATUS "installed offline in ${WORK_DIR} and solved: ${out}")
