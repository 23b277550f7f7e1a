# Removes what the last installation from a build directory put in place:
# the files of its install record, then the directories that installation
# created, each only once it is empty. Anything else, a file added to an
# installed directory afterwards included, stays.
#
#   cmake -DINSTALL_RECORD=<build>/install_record.txt -P cmake/uninstall.cmake

cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/installrecord.cmake")

if(NOT INSTALL_RECORD)
  message(FATAL_ERROR "INSTALL_RECORD is not set: pass -DINSTALL_RECORD=<build directory>/install_record.txt")
endif()
if(NOT EXISTS "${INSTALL_RECORD}")
  message(FATAL_ERROR "No install record ${INSTALL_RECORD}: nothing was installed from this build directory, or it has been uninstalled already")
endif()
readTavokInstallRecord("${INSTALL_RECORD}" installed)

foreach(installedFile IN LISTS installedFiles)
  if(EXISTS "${installedFile}" OR IS_SYMLINK "${installedFile}")
    message(STATUS "Removing: ${installedFile}")
    file(REMOVE "${installedFile}")
    if(EXISTS "${installedFile}" OR IS_SYMLINK "${installedFile}")
      message(FATAL_ERROR "Could not remove ${installedFile}")
    endif()
  else()
    message(STATUS "Already gone: ${installedFile}")
  endif()
endforeach()

# A directory below one that the installation created was created by it too
# (examples/ inside a new doc directory, say), though only its top was
# recorded in advance.
function(isCreatedByInstall directory result)
  foreach(created IN LISTS installedDirectories)
    cmake_path(IS_PREFIX created "${directory}" NORMALIZE inside)
    if(inside)
      set(${result} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${result} FALSE PARENT_SCOPE)
endfunction()

set(candidates ${installedDirectories})
foreach(installedFile IN LISTS installedFiles)
  cmake_path(GET installedFile PARENT_PATH directory)
  isCreatedByInstall("${directory}" created)
  while(created)
    list(APPEND candidates "${directory}")
    cmake_path(GET directory PARENT_PATH directory)
    isCreatedByInstall("${directory}" created)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES candidates)

# Deepest first, so that a parent is tried after its children are gone; a
# longer path is never the parent of a shorter one.
set(byDepth "")
foreach(directory IN LISTS candidates)
  string(LENGTH "${directory}" length)
  list(APPEND byDepth "${length}|${directory}")
endforeach()
list(SORT byDepth COMPARE NATURAL ORDER DESCENDING)

foreach(entry IN LISTS byDepth)
  string(REGEX REPLACE "^[0-9]+\\|" "" directory "${entry}")
  if(NOT IS_DIRECTORY "${directory}" OR IS_SYMLINK "${directory}")
    continue()
  endif()
  file(GLOB children LIST_DIRECTORIES true "${directory}/*")  # dot files too
  if(children)
    message(STATUS "Keeping (not empty): ${directory}")
    continue()
  endif()
  message(STATUS "Removing directory: ${directory}")
  file(REMOVE_RECURSE "${directory}")
endforeach()

file(REMOVE "${INSTALL_RECORD}")
