# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE). A
# Debian package installs under /usr, where the programs look for each other
# and for the printer descriptions; a build configured for another prefix (the
# default /usr/local) or with sanitizers would make a package that installs
# in the wrong place or needs the sanitizer runtimes, so cpack stops instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT CPACK_VORMEL_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "vormel: the Debian package needs a build configured with "
      "-DCMAKE_INSTALL_PREFIX=/usr (this one installs under ${CPACK_VORMEL_INSTALL_PREFIX})")
  endif()
  if(CPACK_VORMEL_SANITIZE)
    message(FATAL_ERROR "vormel: no Debian package of a sanitizer build (-DVORMEL_SANITIZE=ON)")
  endif()
endif()
