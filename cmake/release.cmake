# The release, made with CPack from the native build: quorvel for Debian as
# a .deb, and the Windows files from the two cross builds as a .zip.
#   cmake -DAXQ_WIN32_DIR=build/win32 -DAXQ_WIN64_DIR=build/win64 ...; cpack
# Times inside both come from SOURCE_DATE_EPOCH (make sets it to the last
# commit's time), so that the same commit gives the same bytes.
set(AXQ_WIN32_DIR "" CACHE PATH "The 32-bit Windows build, for the release zip")
set(AXQ_WIN64_DIR "" CACHE PATH "The 64-bit Windows build, for the release zip")

# Files made while configuring are written only when their text changes: a
# configure with nothing new then leaves the build with nothing to do.
function(axq_write path text)
  if(EXISTS ${path})
    file(READ ${path} old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE ${path} "${text}")
endfunction()

install(TARGETS quorvel RUNTIME DESTINATION bin COMPONENT linux)
include(cmake/debian.cmake)
install(FILES ${PROJECT_BINARY_DIR}/quorvel.1.gz DESTINATION share/man/man1 COMPONENT linux)
install(FILES ${PROJECT_BINARY_DIR}/quorvel.ja.1.gz DESTINATION share/man/ja/man1
        RENAME quorvel.1.gz COMPONENT linux)
install(FILES ${AXQ_CATALOG} DESTINATION share/locale/ja/LC_MESSAGES COMPONENT linux)
install(FILES cli/quorvel.bash DESTINATION share/bash-completion/completions
        RENAME quorvel COMPONENT linux)
# The desktop's side: the MIME type, known by an archive's first line, and
# the entry that opens an archive as a read-only folder (quorvel-open).
# Debian's shared-mime-info and desktop-file-utils rebuild their caches by
# dpkg triggers on these folders: the package needs no maintainer scripts.
install(PROGRAMS desktop/quorvel-open DESTINATION bin COMPONENT linux)
install(FILES ${PROJECT_BINARY_DIR}/quorvel-open.1.gz DESTINATION share/man/man1 COMPONENT linux)
install(FILES desktop/quorvel.xml DESTINATION share/mime/packages COMPONENT linux)
install(FILES desktop/quorvel.desktop DESTINATION share/applications COMPONENT linux)

# Text for Windows users has CR LF line ends; the Japanese readme starts
# with a byte-order mark, so that Notepad of any Japanese Windows, old or new,
# reads it as UTF-8.
string(ASCII 239 187 191 byte_order_mark)
foreach(text cmake/windows-readme.txt cmake/windows-readme-ja.txt LICENSE)
  file(READ ${text} content)
  string(CONFIGURE "${content}" content @ONLY)
  string(REPLACE "\n" "\r\n" content "${content}")
  get_filename_component(name ${text} NAME_WE)
  if(name STREQUAL "windows-readme-ja")
    set(content "${byte_order_mark}${content}")
  endif()
  axq_write(${PROJECT_BINARY_DIR}/windows/${name}.txt "${content}")
endforeach()
if(AXQ_WIN32_DIR AND AXQ_WIN64_DIR)
  install(FILES ${AXQ_WIN32_DIR}/axquorvel.spi ${AXQ_WIN64_DIR}/axquorvel.sph
                ${AXQ_WIN32_DIR}/quorvel.exe DESTINATION . COMPONENT windows)
  install(FILES ${AXQ_WIN64_DIR}/quorvel.exe DESTINATION . RENAME quorvel64.exe COMPONENT windows)
  install(FILES ${PROJECT_BINARY_DIR}/windows/windows-readme.txt DESTINATION . RENAME README.txt
          COMPONENT windows)
  install(FILES ${PROJECT_BINARY_DIR}/windows/windows-readme-ja.txt DESTINATION .
          RENAME README-ja.txt COMPONENT windows)
  install(FILES ${PROJECT_BINARY_DIR}/windows/LICENSE.txt DESTINATION . COMPONENT windows)
  # The host interface, for host authors: the contract mode by mode.
  install(FILES plugin/spi.h DESTINATION . COMPONENT windows)
endif()

set(CPACK_PACKAGE_NAME axquorvel)
set(CPACK_PACKAGE_VENDOR "the axquorvel project")
set(CPACK_PACKAGE_CONTACT "${AXQ_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look inside, extract and write Quorvel archives")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generators.cmake)

set(CPACK_ARCHIVE_WINDOWS_FILE_NAME axquorvel-${PROJECT_VERSION}-windows)
set(CPACK_DEBIAN_LINUX_PACKAGE_NAME quorvel)
set(CPACK_DEBIAN_LINUX_FILE_NAME quorvel_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# quorvel-open shows the mounted archive with xdg-open.
set(CPACK_DEBIAN_LINUX_PACKAGE_RECOMMENDS xdg-utils)
# The Python module, for Debian's python3 of this release.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quorvel)
set(CPACK_DEBIAN_PYTHON_FILE_NAME python3-quorvel_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
# The summary line is the project's (CPack puts it first in every package).
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "This package holds the Python 3 module quorvel, which reads, writes and\nchanges Quorvel archives with the conventions of zipfile, and with the\nsame accounting, locking and code-page names as the quorvel command.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quorvel lists, tests and extracts Quorvel archives (*.dat), writes new\nones and updates them, and converts entry names from the code page of\nthe system that made the archive (Shift_JIS and others).")
include(CPack)
