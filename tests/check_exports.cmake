cmake_policy(SET CMP0057 NEW)
# The built module must export exactly the names in EXPECTED, undecorated,
# and import nothing but system DLLs: the runtime is linked in.
set(ALLOWED_IMPORTS kernel32.dll msvcrt.dll)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z0-9_@]+" entries "${table}")
set(exports "")
foreach(entry ${entries})
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND exports ${name})
endforeach()
list(SORT exports)
file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports are [${exports}], expected [${expected}]")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import ${imports})
  string(SUBSTRING "${import}" 10 -1 dll)
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST ALLOWED_IMPORTS)
    message(FATAL_ERROR "imports ${dll}; only ${ALLOWED_IMPORTS} are allowed")
  endif()
endforeach()


# The version resource carries the file version, as UTF-16 text.
string(HEX "${VERSION}" version_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\100" version_utf16 "${version_hex}")
file(READ ${MODULE} module HEX)
if(NOT module MATCHES "${version_utf16}")
  message(FATAL_ERROR "no version resource with file version ${VERSION}")
endif()

# No link time stamp: the same sources give the same module.
string(REGEX MATCH "Time/Date[ \t]+[^\n]+" stamp "${dump}")
if(NOT stamp MATCHES "Thu Jan  1 00:00:00 1970|00000000")
  message(FATAL_ERROR "the module carries a link time stamp: ${stamp}")
endif()
message(STATUS "exports: ${exports}; imports: ${imports}; version ${VERSION}; ${stamp}")
