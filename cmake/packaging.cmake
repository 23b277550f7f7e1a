# Read by cpack before it packages anything.

# The binary package's install rules run into a staging area: an installation
# that the install record (installrecord.cmake) must not remember.
set(ENV{TAVOK_PACKAGING} 1)

# The source archive holds the source tree at its top, not below /usr.
if(CPACK_INSTALLED_DIRECTORIES)
  unset(CPACK_PACKAGING_INSTALL_PREFIX)
endif()

# Depends: computed by dpkg-shlibdeps from the shared libraries the programs
# use, with the versions they need. It is looked for now, not when the
# project was configured, so that installing dpkg-dev afterwards is enough.
# Without it the C and C++ runtimes are named without versions.
find_program(TAVOK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVOK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(WARNING "dpkg-shlibdeps not found (package dpkg-dev): Depends is named by hand, without versions")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
