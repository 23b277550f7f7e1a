# Read by cpack before it packages anything.

# The binary package's install rules run into a staging area: an installation
# that the install record (installrecord.cmake) must not remember.
set(ENV{TAVOK_PACKAGING} 1)

# The source archive holds the source tree at its top, not below /usr.
if(CPACK_INSTALLED_DIRECTORIES)
  unset(CPACK_PACKAGING_INSTALL_PREFIX)
endif()
