# The Python module `quorvel`: a pybind11 extension over the tool's own
# reading and writing code, installed where Debian's python3 looks
# (lib/python3/dist-packages under the prefix) with its type stub, and
# tested with pytest against archives the tests build.
# Debian's python3, whatever other Python comes first on the PATH.
set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python the module is built for")
find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(pybind11 CONFIG REQUIRED)

# NO_EXTRAS: no link-time optimisation and no strip here (CPack strips), so
# that the same commit gives the same bytes.
pybind11_add_module(quorvel_python NO_EXTRAS python/module.cpp python/convert.cpp python/session.cpp
                    python/stream.cpp python/diff.cpp)
set_target_properties(quorvel_python PROPERTIES OUTPUT_NAME quorvel
                      LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python
                      CXX_VISIBILITY_PRESET hidden)
# pybind11 reports failures as exceptions and needs type information; the
# tool's code it calls uses neither.
target_compile_options(quorvel_python PRIVATE -fexceptions -frtti)
target_compile_definitions(quorvel_python PRIVATE AXQ_PROJECT_VERSION="${PROJECT_VERSION}")
target_link_libraries(quorvel_python PRIVATE quorvel_core)
configure_file(python/quorvel.pyi ${PROJECT_BINARY_DIR}/python/quorvel.pyi COPYONLY)

set(AXQ_PYTHON_DIR lib/python3/dist-packages)
install(TARGETS quorvel_python LIBRARY DESTINATION ${AXQ_PYTHON_DIR} COMPONENT python)
install(FILES python/quorvel.pyi DESTINATION ${AXQ_PYTHON_DIR} COMPONENT python)

# A sanitized module cannot be loaded into Debian's python3.
if(AXQ_SANITIZE)
  return()
endif()
add_test(NAME python COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider
         ${PROJECT_SOURCE_DIR}/tests/python_test.py)
set_tests_properties(python PROPERTIES TIMEOUT 600 ENVIRONMENT
  "PYTHONPATH=${PROJECT_BINARY_DIR}/python;QUORVEL=$<TARGET_FILE:quorvel>;LANGUAGE=en")
# One table of scenarios through the command line and the module: the same
# verdict, the same kind of refusal, the same entries and bytes afterwards.
add_test(NAME frontends COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider
         ${PROJECT_SOURCE_DIR}/tests/frontends_test.py)
set_tests_properties(frontends PROPERTIES TIMEOUT 600 ENVIRONMENT
  "PYTHONPATH=${PROJECT_BINARY_DIR}/python;QUORVEL=$<TARGET_FILE:quorvel>;LANGUAGE=en")
# Random pairs of archives: diff's patch and removals bring the old to the
# new, through the command line and through the module.
add_test(NAME patch COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider
         ${PROJECT_SOURCE_DIR}/tests/patch_test.py)
set_tests_properties(patch PROPERTIES TIMEOUT 600 ENVIRONMENT
  "PYTHONPATH=${PROJECT_BINARY_DIR}/python;QUORVEL=$<TARGET_FILE:quorvel>;LANGUAGE=en")
