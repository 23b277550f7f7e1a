# What a Debian package holds beyond the files of the install rules, and the
# form Debian gives to those files.
#
# Included twice: by CMakeLists.txt when the project is configured, which
# writes the copyright file every installation carries and the Debian
# changelog; and by the install rules (cmake_install.cmake), which, when they
# run for a package (TAVOK_PACKAGING in the environment), compress the
# manual pages, strip the programs and add the changelog, as every Debian
# package has them, and the overrides of lintian's findings
# (cmake/lintian-overrides).
# `make install` keeps the manual pages as they are in the source tree.

cmake_policy(PUSH)
cmake_policy(VERSION 3.25)

# The copyright file in the machine-readable Debian format, made from the
# project's LICENSE: the holders from its "Copyright (c) ..." line, the
# licence text from what follows that line. The MIT licence of LICENSE is the
# one Debian calls Expat (Debian's "MIT" names no single text).
function(writeTavokCopyright licenseFile outputFile)
  file(STRINGS "${licenseFile}" lines)
  set(holders "")
  set(text "")
  foreach(line IN LISTS lines)
    if(NOT holders)
      if(line MATCHES "^Copyright \\([cC]\\) (.+)$")
        set(holders "${CMAKE_MATCH_1}")
      endif()
    elseif(line STREQUAL "")
      string(APPEND text " .\n")  # an empty line of a field's continuation
    else()
      string(APPEND text " ${line}\n")
    endif()
  endforeach()
  if(NOT holders)
    message(FATAL_ERROR "${licenseFile} has no \"Copyright (c) <year> <holders>\" line")
  endif()
  string(REGEX REPLACE "^( \\.\n)+" "" text "${text}")  # the blank line after the copyright line
  file(CONFIGURE OUTPUT "${outputFile}" @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tavok

Files: *
Copyright: @holders@
License: Expat
@text@")
endfunction()

# The Debian changelog: one entry for the package of this version. Its date
# is the time of configuration, or SOURCE_DATE_EPOCH where that is set, so
# that a reproducible build gets a reproducible package.
function(writeTavokDebianChangelog upstreamVersion revision maintainer outputFile)
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(CONFIGURE OUTPUT "${outputFile}" @ONLY CONTENT
"tavok (@upstreamVersion@-@revision@) unstable; urgency=medium

  * Package of tavok @upstreamVersion@: the WMLScript compiler tavok, the
    disassembler tavok-dis and the virtual machine tavok-run.

 -- @maintainer@  @date@
")
endfunction()

# gzip -9n: the best compression, and neither the file's name nor its time
# in the header, so that the same input always gives the same bytes.
function(gzipTavokFile input output)
  find_program(TAVOK_GZIP gzip)
  if(NOT TAVOK_GZIP)
    message(FATAL_ERROR "gzip not found: a Debian package needs its manual pages and changelog compressed")
  endif()
  execute_process(COMMAND "${TAVOK_GZIP}" -9n -c "${input}" OUTPUT_FILE "${output}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE "${output}")
    message(FATAL_ERROR "gzip -9n ${input} failed: ${status}")
  endif()
  file(CHMOD "${output}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# After the install rules have put every file in the package's staging area:
# each manual page replaced by its compressed form, the programs without the
# compiler's notes (.comment, .note) as Debian strips them, the changelog
# added to the documentation directory, and lintian's overrides where lintian
# looks for them. Does nothing for any other installation. Directories are
# relative to the prefix.
#   MANUAL_DIRECTORY dir MANUAL_PAGES name...   the pages to compress
#   PROGRAM_DIRECTORY dir PROGRAMS name...      the programs, STRIP the strip program
#   DOCUMENTATION_DIRECTORY dir CHANGELOG file  where the changelog goes, and its text
#   DATA_DIRECTORY dir LINTIAN_OVERRIDES file   share/, and the overrides
function(finishTavokDebianTree)
  if(NOT DEFINED ENV{TAVOK_PACKAGING})
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 0 package ""
    "MANUAL_DIRECTORY;PROGRAM_DIRECTORY;STRIP;DOCUMENTATION_DIRECTORY;CHANGELOG;DATA_DIRECTORY;LINTIAN_OVERRIDES"
    "MANUAL_PAGES;PROGRAMS")
  tavokInstalledPath("${CMAKE_INSTALL_PREFIX}/${package_MANUAL_DIRECTORY}" manualPath)
  foreach(page IN LISTS package_MANUAL_PAGES)
    gzipTavokFile("${manualPath}/${page}" "${manualPath}/${page}.gz")
    file(REMOVE "${manualPath}/${page}")
  endforeach()
  if(CMAKE_INSTALL_DO_STRIP AND package_STRIP)
    tavokInstalledPath("${CMAKE_INSTALL_PREFIX}/${package_PROGRAM_DIRECTORY}" programPath)
    foreach(program IN LISTS package_PROGRAMS)
      execute_process(COMMAND "${package_STRIP}" --remove-section=.comment --remove-section=.note
                              "${programPath}/${program}" RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR "${package_STRIP} ${programPath}/${program} failed: ${status}")
      endif()
    endforeach()
  endif()
  tavokInstalledPath("${CMAKE_INSTALL_PREFIX}/${package_DOCUMENTATION_DIRECTORY}" documentationPath)
  gzipTavokFile("${package_CHANGELOG}" "${documentationPath}/changelog.Debian.gz")
  # file(INSTALL) puts DESTDIR before the destination itself.
  file(INSTALL "${package_LINTIAN_OVERRIDES}"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/${package_DATA_DIRECTORY}/lintian/overrides"
       RENAME tavok
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

cmake_policy(POP)
