# The WiX source of the per-user package for one product version. The package compares versions by
# their first three fields, as Windows Installer does; its conditions compare them as text, so each
# field is written with leading zeros to the width of its largest value (255.255.65535).
#
# Included by the build, and run as a script by whoever builds the package at another version:
#   cmake -D VERSION=1.0.2.0 -D OUTPUT=path/TessaraAppSetup.wxs -P cmake/PackageSource.cmake
# Without VERSION the version of res/Version.h is taken.

set(TESSARA_PACKAGE_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

function(tessara_zero_padded value width out)
  string(LENGTH "${value}" length)
  math(EXPR zeros "${width} - ${length}")
  string(REPEAT "0" ${zeros} padding)
  set(${out} "${padding}${value}" PARENT_SCOPE)
endfunction()

function(tessara_package_source version output)
  file(STRINGS ${TESSARA_PACKAGE_SOURCE_ROOT}/res/Version.h version_lines REGEX "^#define TESSARA_[A-Z_]+ \"")
  foreach(line IN LISTS version_lines)
    string(REGEX MATCH "^#define (TESSARA_[A-Z_]+) \"([^\"]*)\"" matched "${line}")
    set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  endforeach()
  if(version)
    set(TESSARA_VERSION_TEXT ${version})
  endif()
  if(NOT TESSARA_VERSION_TEXT MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "The package version \"${TESSARA_VERSION_TEXT}\" is not four numbers")
  endif()
  set(fields)
  set(padded)
  foreach(index 1 2 3)
    math(EXPR field "${CMAKE_MATCH_${index}}")
    set(width 3)
    set(largest 255)
    if(index EQUAL 3)
      set(width 5)
      set(largest 65535)
    endif()
    if(field GREATER largest)
      message(FATAL_ERROR "Field ${index} of the package version \"${TESSARA_VERSION_TEXT}\" is above ${largest}")
    endif()
    tessara_zero_padded(${field} ${width} field_padded)
    list(APPEND fields ${field})
    list(APPEND padded ${field_padded})
  endforeach()
  list(JOIN fields "." TESSARA_PACKAGE_VERSION)
  list(JOIN padded "." TESSARA_PACKAGE_VERSION_ORDER)
  configure_file(${TESSARA_PACKAGE_SOURCE_ROOT}/res/TessaraAppSetup.wxs.in ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  tessara_package_source("${VERSION}" "${OUTPUT}")
endif()
