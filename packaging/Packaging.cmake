# Debian packages, made with "cpack --config build/CPackConfig.cmake":
#   norvane-tef-server     the service folder in /opt/norvane, its unit and maintainer scripts
#   norvane-tef-simulator  the stand-ins under tools/ (install component "simulator"), for
#                          development and training machines
# Files only the packages carry (unit, default ini, README, copyright) are EXCLUDE_FROM_ALL,
# so that "cmake --install" keeps laying out a development service folder as before.
set(NORVANE_PACKAGE_FOLDER /opt/norvane)
set(NORVANE_PACKAGE_MAINTAINER "Norvane TEF Server <tef-server@norvane.com.br>"
    CACHE STRING "Maintainer field of the Debian packages")
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

function(norvane_configure_unit)
  set(FOLDER ${NORVANE_PACKAGE_FOLDER})
  set(EXECUTABLE ${NORVANE_PACKAGE_FOLDER}/SvcNorvaneSiTef)
  configure_file(${NORVANE_UNIT_TEMPLATE_FILE} ${packaging_out}/NorvaneSiTefService.service @ONLY)
endfunction()
norvane_configure_unit()
foreach(script config postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${packaging_out}/${script} @ONLY)
endforeach()
file(WRITE ${packaging_out}/conffiles "${NORVANE_PACKAGE_FOLDER}/SvcNorvaneSiTef.ini\n")
file(MAKE_DIRECTORY ${packaging_out}/dll)  # the real CliSiTef library goes here

install(FILES ${packaging_out}/NorvaneSiTefService.service DESTINATION /lib/systemd/system
        COMPONENT server EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/SvcNorvaneSiTef.ini ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION . COMPONENT server EXCLUDE_FROM_ALL)
install(DIRECTORY ${packaging_out}/dll DESTINATION . COMPONENT server EXCLUDE_FROM_ALL)
foreach(component server simulator)
  set(PACKAGE norvane-tef-${component})
  # The service reads these to know how it was installed: a package installation without
  # the simulator package refuses the stand-in library at its default path.
  file(WRITE ${packaging_out}/installed-by/${PACKAGE}
       "This service folder was installed by the Debian package ${PACKAGE}.\n")
  install(FILES ${packaging_out}/installed-by/${PACKAGE} DESTINATION installed-by
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(VERSION ${PROJECT_VERSION})
  set(MAINTAINER ${NORVANE_PACKAGE_MAINTAINER})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${packaging_out}/${PACKAGE}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${packaging_out}/${PACKAGE}/changelog)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/lintian-overrides
                 ${packaging_out}/${PACKAGE}/${PACKAGE} COPYONLY)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${packaging_out}/${PACKAGE}/changelog.gz
          DESTINATION /usr/share/doc/${PACKAGE} COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${packaging_out}/${PACKAGE}/${PACKAGE} DESTINATION /usr/share/lintian/overrides
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvane-tef)
set(CPACK_PACKAGE_VENDOR Norvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${NORVANE_PACKAGE_FOLDER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${NORVANE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME norvane-tef-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Norvane TEF Server: card and instant payments for a browser point of sale
A workstation service that lets a browser-based sales application take card
and instant payments through the CliSiTef TEF client library over TLS 1.2
WebSocket, report them to the sales back-end and print PDFs and receipts.
.
The CliSiTef library of the workstation goes into /opt/norvane/dll.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54), debconf (>= 0.5) | debconf-2.0")
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "cups, locales")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${packaging_out}/config ${CMAKE_CURRENT_LIST_DIR}/deb/templates
    ${packaging_out}/postinst ${packaging_out}/prerm ${packaging_out}/postrm
    ${packaging_out}/conffiles)

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME norvane-tef-simulator)
set(CPACK_COMPONENT_SIMULATOR_DEPENDS server)
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
    "Norvane TEF Server stand-ins for development and training machines
A stand-in CliSiTef library that behaves like a payment terminal and its
server, and the other stand-in programs, so that the service runs with no
pin-pad.
.
Never install it on a production workstation: no real payment is taken with
it. The service says so in its log and on its console at every start.")

include(CPack)
