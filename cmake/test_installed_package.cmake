# Installs the C++ package of the build in BUILD_DIR into a fresh prefix under
# WORK_DIR, then configures, builds and runs the example consumer in
# EXAMPLE_DIR against that prefix alone. Run by CTest (cmake -P).
foreach(var BUILD_DIR WORK_DIR EXAMPLE_DIR GENERATOR CXX BUILD_TYPE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(consumer ${WORK_DIR}/consumer)
file(REMOVE_RECURSE ${WORK_DIR})

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result})")
  endif()
endfunction()

step("installing the package" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component development)

# The exact-arithmetic flags travel with the targets; the project's warning
# flags must not.
file(GLOB_RECURSE targets_files ${prefix}/*/tessarin_hdcTargets.cmake)
if(NOT targets_files)
  message(FATAL_ERROR "no tessarin_hdcTargets.cmake under ${prefix}")
endif()
file(READ ${targets_files} exported)
string(FIND "${exported}" "-ffp-contract=off" exact)
if(exact EQUAL -1)
  message(FATAL_ERROR "the exported targets do not carry -ffp-contract=off")
endif()
if(exported MATCHES "-W[a-z]|-fsanitize")
  message(FATAL_ERROR "the exported targets carry build-only flags: ${CMAKE_MATCH_0}")
endif()

step("configuring the example" ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${consumer} -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON
  -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
step("building the example" ${CMAKE_COMMAND} --build ${consumer})
step("running the example" ${consumer}/engines_from_cpp)
