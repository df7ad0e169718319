# Debian packages from the build (scripts/package.sh configures a Release
# build for /usr and runs cpack -G DEB in it):
#   libvirazezazor1     libvirazezazor.so.1 (the package named by its SONAME)
#   liborvdevmgmt1      liborvdevmgmt.so.1
#   liborvdevmgmt-dev   headers, the .so links, the CMake package, the
#                       pkg-config file, orvdevmgmt(7), the example client
#   orv-tools           orv-settings, orv-devices, their man pages and bash
#                       completion
# and for each a -dbgsym package (.ddeb) holding the detached debug symbols of
# its stripped binaries. Dependencies on libc, libstdc++ and Jansson come from
# dpkg-shlibdeps, those between the packages from the components' own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvdevmgmt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(ORV_PACKAGE_CONTACT "orvdevmgmt developers <orvdevmgmt@example.org>"
    CACHE STRING "The Maintainer of the Debian packages")
set(CPACK_PACKAGE_CONTACT ${ORV_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device-management client library of the home-network gateway")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL virazezazor orvdevmgmt dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The packages' own libraries are found in the build tree, not in the
# system's package database.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/libs/virazezazor ${PROJECT_BINARY_DIR}/libs/orvdevmgmt)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The libraries' packages declare their SONAMEs (shlibs) and let dpkg run
# ldconfig once after them (the trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${PROJECT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_VIRAZEZAZOR_PACKAGE_NAME libvirazezazor1)
set(CPACK_DEBIAN_VIRAZEZAZOR_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_VIRAZEZAZOR_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/triggers)
set(CPACK_COMPONENT_VIRAZEZAZOR_DESCRIPTION
    "gateway utility library, host edition\n The settings store (a directory tree with inotify notifications), the\n logger and the per-thread error record of the gateway's utility library.")
set(CPACK_DEBIAN_ORVDEVMGMT_PACKAGE_NAME liborvdevmgmt1)
set(CPACK_DEBIAN_ORVDEVMGMT_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ORVDEVMGMT_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/triggers)
set(CPACK_COMPONENT_ORVDEVMGMT_DESCRIPTION
    "gateway device-management client library\n A thread-safe in-memory copy of the settings tree /devices, kept in step\n by a background thread, with queries and change subscriptions.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborvdevmgmt-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libjansson-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "gateway device-management client library - development files\n Headers, the CMake package and the pkg-config file of liborvdevmgmt and\n libvirazezazor, and an example client.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orv-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "command-line tools for the gateway's settings store and devices\n orv-settings reads, writes and watches the settings store; orv-devices\n shows what the device library sees in it.")

include(CPack)
cpack_add_component(virazezazor)
cpack_add_component(orvdevmgmt DEPENDS virazezazor)
cpack_add_component(dev DEPENDS orvdevmgmt virazezazor)
cpack_add_component(tools DEPENDS orvdevmgmt virazezazor)

# What Debian wants in every package: the copyright and the changelog.
set(ORV_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
string(TIMESTAMP ORV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/changelog.Debian
     "orvdevmgmt (${PROJECT_VERSION}-1) unstable; urgency=medium\n\n"
     "  * Built from the source tree with CPack.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${ORV_CHANGELOG_DATE}\n")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/changelog.Debian)
foreach(component virazezazor orvdevmgmt dev tools)
  string(TOUPPER ${component} upper)
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/copyright ${ORV_CHANGELOG}
    DESTINATION ${doc_dir} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/client.cpp ${PROJECT_SOURCE_DIR}/examples/stream_poll.cpp
  ${PROJECT_SOURCE_DIR}/examples/stream_sd_event.cpp ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/liborvdevmgmt-dev/examples COMPONENT dev EXCLUDE_FROM_ALL)
