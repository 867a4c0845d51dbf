# Install rules for the manual page and the document schemas, and the Debian package:
#   cmake --install <build>            (executable, zevupdate(8), schemas)
#   cpack -G DEB --config <build>/CPackConfig.cmake
include(GNUInstallDirs)

get_filename_component(ZEV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(ZEV_MANPAGE "${ZEV_SOURCE_ROOT}/docs/zevupdate.8")
set(ZEV_SCHEMAS
    "${ZEV_SOURCE_ROOT}/schemas/zevupdate-inventory.xsd"
    "${ZEV_SOURCE_ROOT}/schemas/zevupdate-result.xsd")

# Debian installs manual pages compressed; -n keeps the name and time stamp out, so the
# package is the same from build to build.
find_program(ZEV_GZIP gzip REQUIRED)
set(_zev_man_gz "${CMAKE_BINARY_DIR}/docs/zevupdate.8.gz")
add_custom_command(
  OUTPUT "${_zev_man_gz}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/docs"
  COMMAND "${ZEV_GZIP}" -9 -n -c "${ZEV_MANPAGE}" > "${_zev_man_gz}"
  DEPENDS "${ZEV_MANPAGE}"
  COMMENT "Compressing zevupdate.8"
  VERBATIM)
add_custom_target(zev_manpage ALL DEPENDS "${_zev_man_gz}")

install(FILES "${_zev_man_gz}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES ${ZEV_SCHEMAS} DESTINATION "${CMAKE_INSTALL_DATADIR}/zevupdate")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zevupdate")
set(CPACK_PACKAGE_VENDOR "zevupdate")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "zevupdate maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware inventory and update tool for PCI storage controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "zevupdate lists the PCI storage controllers of the host (hpsa family,\nsmartpqi, aacraid) and flashes the firmware image of an update package\ninto the controllers the package lists. It reports its results as XML\ndocuments; their schemas are installed in /usr/share/zevupdate.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Depends is computed from the libraries the executable really links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
