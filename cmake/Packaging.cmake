# Install rules for the manual page and the document schemas:
#   cmake --install <build>            (executable, zevupdate(8), schemas)
# The Debian package is built from debian/ (dpkg-buildpackage), which installs through these rules.
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
