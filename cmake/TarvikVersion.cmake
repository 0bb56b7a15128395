# The one version of the package: the project version (four numbers) and the
# build date, stamped into the INFs' DriverVer and into every binary's version
# resource.
#
# The date is the day (UTC) of SOURCE_DATE_EPOCH when it is set, else of the
# last commit when the sources are a git checkout, else of the configure run.
# The same sources then give the same INFs and binaries whoever builds them and
# whenever: DriverVer's date ranks drivers of the same hardware ID, so it
# should move when the sources do, not when someone rebuilds them.

foreach(_part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${_part} STREQUAL "")
    set(PROJECT_VERSION_${_part} 0)
  endif()
endforeach()
set(TARVIK_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
set(TARVIK_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")

# tarvik_build_epoch(<out>): seconds since 1970 of the build date's source.
function(tarvik_build_epoch out)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(${out} "$ENV{SOURCE_DATE_EPOCH}" PARENT_SCOPE)
    return()
  endif()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _result ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _reflog OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_result EQUAL 0 AND _epoch MATCHES "^[0-9]+$")
      # A new commit configures again, so the date follows it.
      if(EXISTS "${_reflog}")
        set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_reflog}")
      endif()
      set(${out} "${_epoch}" PARENT_SCOPE)
      return()
    endif()
  endif()
  string(TIMESTAMP _now "%s" UTC)
  set(${out} "${_now}" PARENT_SCOPE)
endfunction()

# string(TIMESTAMP) formats the time SOURCE_DATE_EPOCH names when it is set.
tarvik_build_epoch(_tarvik_epoch)
set(_tarvik_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${_tarvik_epoch}")
string(TIMESTAMP TARVIK_DRIVER_DATE "%m/%d/%Y" UTC)
if(_tarvik_saved_epoch STREQUAL "")
  unset(ENV{SOURCE_DATE_EPOCH})
else()
  set(ENV{SOURCE_DATE_EPOCH} "${_tarvik_saved_epoch}")
endif()
message(STATUS "Tarvik4v2 ${TARVIK_VERSION}, DriverVer ${TARVIK_DRIVER_DATE},${TARVIK_VERSION}")

# tarvik_version_resource(<target> <description> <file name> APP|DRIVER): the
# version resource of one binary, from the shared template.
function(tarvik_version_resource target description filename kind)
  set(TARVIK_RC_DESCRIPTION "${description}")
  set(TARVIK_RC_FILENAME "${filename}")
  get_filename_component(TARVIK_RC_INTERNAL "${filename}" NAME_WE)
  if(kind STREQUAL "DRIVER")
    set(TARVIK_RC_FILETYPE VFT_DRV)
    set(TARVIK_RC_FILESUBTYPE VFT2_DRV_SYSTEM)
  else()
    set(TARVIK_RC_FILETYPE VFT_APP)
    set(TARVIK_RC_FILESUBTYPE VFT2_UNKNOWN)
  endif()
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
endfunction()
