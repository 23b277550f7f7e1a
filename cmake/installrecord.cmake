# The install record: which files an installation put in place and which
# directories it had to create, so that uninstalling removes exactly those.
# CMake's own install_manifest.txt is not enough: it lists no directories,
# and packaging rewrites it with the paths of the package's staging area.
#
# Included by the install rules (cmake_install.cmake), which set
# `tavokInstallRecord` (the record file) and `tavokInstallDirectories` (the
# destination directories, relative to the prefix). The record is one entry a
# line: "root <path>", then "directory <path>" and "file <path>" lines.
# Packaging (TAVOK_PACKAGING in the environment) installs into a staging area
# that is not worth remembering, and leaves the record alone.

cmake_policy(PUSH)
cmake_policy(VERSION 3.25)

# Reads a record into `<prefix>Root`, `<prefix>Directories` and `<prefix>Files`;
# all three are empty when there is no record.
function(readTavokInstallRecord recordFile prefix)
  set(root "")
  set(directories "")
  set(files "")
  if(EXISTS "${recordFile}")
    file(STRINGS "${recordFile}" lines)
    foreach(line IN LISTS lines)
      if(line MATCHES "^root (.+)$")
        set(root "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^directory (.+)$")
        list(APPEND directories "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^file (.+)$")
        list(APPEND files "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  set(${prefix}Root "${root}" PARENT_SCOPE)
  set(${prefix}Directories "${directories}" PARENT_SCOPE)
  set(${prefix}Files "${files}" PARENT_SCOPE)
endfunction()

# Where an installed path really is: DESTDIR (which CMake leaves out of the
# paths it reports) before it, made absolute against the working directory
# as the install rules do, and without a trailing separator.
function(tavokInstalledPath path outputVariable)
  set(fullPath "$ENV{DESTDIR}${path}")
  cmake_path(ABSOLUTE_PATH fullPath BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)
  string(REGEX REPLACE "(.)/+$" "\\1" fullPath "${fullPath}")
  set(${outputVariable} "${fullPath}" PARENT_SCOPE)
endfunction()

# Before the first file is installed: note every destination directory, and
# every parent of one, that does not exist yet. A second installation into
# the same root keeps what the first one recorded, since those directories
# exist now only because of it.
function(beginTavokInstallRecord)
  if(DEFINED ENV{TAVOK_PACKAGING})
    return()
  endif()
  tavokInstalledPath("${CMAKE_INSTALL_PREFIX}" root)
  readTavokInstallRecord("${tavokInstallRecord}" previous)
  set(createdDirectories "")
  set(earlierFiles "")
  if(previousRoot STREQUAL root)
    set(createdDirectories "${previousDirectories}")
    set(earlierFiles "${previousFiles}")
  endif()
  foreach(relativeDirectory IN LISTS tavokInstallDirectories)
    if(IS_ABSOLUTE "${relativeDirectory}")  # set so by hand, GNUInstallDirs allows it
      tavokInstalledPath("${relativeDirectory}" directory)
    else()
      tavokInstalledPath("${CMAKE_INSTALL_PREFIX}/${relativeDirectory}" directory)
    endif()
    while(NOT EXISTS "${directory}" AND NOT IS_SYMLINK "${directory}")
      list(APPEND createdDirectories "${directory}")
      cmake_path(GET directory PARENT_PATH parent)
      if(parent STREQUAL directory)
        break()
      endif()
      set(directory "${parent}")
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES createdDirectories)
  set(tavokCreatedDirectories "${createdDirectories}" PARENT_SCOPE)
  set(tavokEarlierFiles "${earlierFiles}" PARENT_SCOPE)
endfunction()

# After the last file is installed: write the record, with every file that
# CMake has installed so far in this run.
function(endTavokInstallRecord)
  if(DEFINED ENV{TAVOK_PACKAGING})
    return()
  endif()
  tavokInstalledPath("${CMAKE_INSTALL_PREFIX}" root)
  set(installedFiles ${tavokEarlierFiles})
  foreach(manifestFile IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    tavokInstalledPath("${manifestFile}" installedFile)
    list(APPEND installedFiles "${installedFile}")
  endforeach()
  list(REMOVE_DUPLICATES installedFiles)
  set(text "root ${root}\n")
  foreach(directory IN LISTS tavokCreatedDirectories)
    string(APPEND text "directory ${directory}\n")
  endforeach()
  foreach(installedFile IN LISTS installedFiles)
    string(APPEND text "file ${installedFile}\n")
  endforeach()
  file(WRITE "${tavokInstallRecord}" "${text}")
  message(STATUS "Install record: ${tavokInstallRecord}")
endfunction()

cmake_policy(POP)
