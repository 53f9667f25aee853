# What each Debian package carries beside its files, as Debian's policy asks:
# a machine-readable copyright with the zlib license, a changelog, and
# manual pages compressed with gzip -9n (no name or time inside, so the same
# commit gives the same bytes). Dates are the last commit's (AXQ_EPOCH).
set(AXQ_MAINTAINER "the axquorvel project <axquorvel@axquorvel.invalid>")
execute_process(COMMAND date -u -R -d @${AXQ_EPOCH} OUTPUT_VARIABLE release_date
                OUTPUT_STRIP_TRAILING_WHITESPACE)

file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX REPLACE "^[^\n]*\n\n" "" license_body "${license_text}")
string(REGEX REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" license_body "${license_body}")
string(STRIP "${license_body}" license_body)

set(debian_dir ${PROJECT_BINARY_DIR}/debian)
foreach(package quorvel python3-quorvel)
  axq_write(${debian_dir}/${package}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: axquorvel

Files: *
Copyright: 2026 the axquorvel project
License: Zlib
 ${license_body}
")
  axq_write(${debian_dir}/${package}/changelog
"${package} (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${AXQ_MAINTAINER}  ${release_date}
")
  add_custom_command(OUTPUT ${debian_dir}/${package}/changelog.gz
    COMMAND sh -c "gzip -9n -c changelog >changelog.gz" WORKING_DIRECTORY ${debian_dir}/${package}
    DEPENDS ${debian_dir}/${package}/changelog VERBATIM)
  list(APPEND debian_outputs ${debian_dir}/${package}/changelog.gz)
endforeach()

foreach(page ${PROJECT_BINARY_DIR}/quorvel.1 ${PROJECT_BINARY_DIR}/quorvel.ja.1
             ${PROJECT_SOURCE_DIR}/desktop/quorvel-open.1)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${name}.gz COMMAND sh -c "gzip -9n -c ${page} >${name}.gz"
                     DEPENDS ${page} VERBATIM)
  list(APPEND debian_outputs ${PROJECT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(debian_files ALL DEPENDS ${debian_outputs})

install(FILES ${debian_dir}/quorvel/copyright ${debian_dir}/quorvel/changelog.gz
        DESTINATION share/doc/quorvel COMPONENT linux)
install(FILES ${debian_dir}/python3-quorvel/copyright ${debian_dir}/python3-quorvel/changelog.gz
        DESTINATION share/doc/python3-quorvel COMPONENT python)
