# Debian packages from the install components, built by CPack:
#   lib -> libtarvel1, dev -> libtarvel-dev, tools -> tarvel, python -> python3-tarvel

set(TARVEL_DEBIAN_REVISION 1)
set(TARVEL_MAINTAINER "Seed 7d686137 maintainers <maintainers@users.noreply.c-seed-7d686137.example>")
set(lib_package libtarvel1)
set(dev_package libtarvel-dev)
set(tools_package tarvel)
set(python_package python3-tarvel)

find_program(TARVEL_GZIP gzip REQUIRED)

# Each package carries the copyright file and the changelog, compressed as
# Debian wants it (-n: no name or time stamp inside, so the bytes repeat).
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
execute_process(COMMAND ${TARVEL_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog
  OUTPUT_FILE ${changelog} COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS debian/changelog)
foreach(component IN ITEMS lib dev tools python)
  install(FILES debian/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${${component}_package} COMPONENT ${component})
endforeach()

# Man pages are compressed in a package; the staging copy is replaced.
install(CODE "execute_process(COMMAND ${TARVEL_GZIP} -9nf
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/tarvel.1\"
  COMMAND_ERROR_IS_FATAL ANY)" COMPONENT tools)

# The symbols file, from the export table, so that every export is in it. Each
# symbol asks for this version: a host built now gets a dependency no looser
# than what it may use.
tarvel_read_exports(${PROJECT_SOURCE_DIR}/src/link/tarvel.exports exported)
get_target_property(soversion tarvel SOVERSION)
set(symbols "libtarvel.so.${soversion} ${lib_package} #MINVER#\n")
foreach(name IN LISTS exported)
  string(APPEND symbols " ${name}@Base ${PROJECT_VERSION}\n")
endforeach()
set(control ${CMAKE_CURRENT_BINARY_DIR}/control)
file(WRITE ${control}/symbols "${symbols}")
# For tools that read shlibs only: the same rule, without per-symbol detail.
file(WRITE ${control}/shlibs "libtarvel ${soversion} ${lib_package} (>= ${PROJECT_VERSION})\n")
# ldconfig runs once after dpkg is done. CPack also adds maintainer scripts
# that call it, which scripts/package.sh takes out again.
file(WRITE ${control}/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARVEL_MAINTAINER}")
set(CPACK_PACKAGE_VENDOR "Tarvel")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVEL_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVEL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE tarvel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The command needs this build's library, which no installed package offers
# yet: dpkg-shlibdeps looks for it here, and the dependency on libtarvel1 comes
# from the component dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Directories as dpkg expects them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The packages that need the library depend on this very build of it.
foreach(component IN ITEMS dev tools python)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENT_${upper}_DEPENDS lib)
endforeach()

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${lib_package})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${control}/symbols ${control}/shlibs ${control}/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${dev_package})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS bluez)
# Named as dpkg wants them: a copy of each maintainer script without the prefix.
foreach(script IN ITEMS postinst prerm postrm)
  configure_file(debian/tarvel.${script} ${control}/tools/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${control}/tools/${script})
endforeach()

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${python_package})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")

# Descriptions: the first line is the synopsis, the rest the long text.
set(CPACK_COMPONENT_LIB_DESCRIPTION "move files and texts over a serial link (library)
libtarvel moves files and short texts between two devices over a serial
link: a Bluetooth RFCOMM connection, a USB-serial adapter or a null-modem
cable. It offers a small C interface: open a port, send a file or a text,
ask the peer for a file or a listing, and run a background listener that
saves what arrives.
.
This package holds the shared library.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "move files and texts over a serial link (development files)
libtarvel moves files and short texts between two devices over a serial
link: a Bluetooth RFCOMM connection, a USB-serial adapter or a null-modem
cable.
.
This package holds what a host program builds against: the C header, the
pkg-config file, the CMake package (find_package(tarvel)) and the C#
binding source, Tarvel.cs, with its Mono library map.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "move files and texts over a serial link
tarvel sends files and short texts to a peer over a serial link, asks the
peer for its files and listings, and listens for what the peer sends: over
a Bluetooth RFCOMM connection, a USB-serial adapter or a null-modem cable.
.
The package also holds two systemd services that keep a listener running:
tarvel-listen on the incoming Bluetooth serial port, and tarvel-listen@ on
one tty, such as tarvel-listen@ttyUSB0. Neither is enabled on installation.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "move files and texts over a serial link (Python 3)
libtarvel moves files and short texts between two devices over a serial
link: a Bluetooth RFCOMM connection, a USB-serial adapter or a null-modem
cable.
.
This package holds the tarvel module for Python 3, which reaches the
library through ctypes.")

include(CPack)
