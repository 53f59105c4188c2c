# `cmake --install`: the programs side by side in bin (install-mcp finds
# tesselo-mcp beside tesselo-cli), the `tesselo` link, the manual pages and
# the shell completions where bash-completion, zsh and fish look under the
# prefix. Included at the end of the top-level list, once every program
# target exists.
include(GNUInstallDirs)

set(tesselo_programs tesselo-cli tesselo-mcp)
# The host is a Linux stand-in for the application and is not built
# everywhere; it installs, with its page, whenever its target exists.
if(TARGET tesselo-host)
  list(APPEND tesselo_programs tesselo-host)
endif()
install(TARGETS ${tesselo_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Links are made once in the build folder and installed as links, so they
# stay relative (a staged or packaged tree can move) and honour DESTDIR.
set(tesselo_links ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${tesselo_links}/bin ${tesselo_links}/man1 ${tesselo_links}/bash
     ${tesselo_links}/fish)
file(CREATE_LINK tesselo-cli ${tesselo_links}/bin/tesselo SYMBOLIC)
file(CREATE_LINK tesselo.1 ${tesselo_links}/man1/tesselo-cli.1 SYMBOLIC)
file(CREATE_LINK tesselo ${tesselo_links}/bash/tesselo-cli SYMBOLIC)
file(CREATE_LINK tesselo.fish ${tesselo_links}/fish/tesselo-cli.fish SYMBOLIC)

install(FILES ${tesselo_links}/bin/tesselo DESTINATION ${CMAKE_INSTALL_BINDIR})

set(tesselo_man ${PROJECT_SOURCE_DIR}/docs/man)
set(tesselo_pages ${tesselo_man}/tesselo.1 ${tesselo_man}/tesselo-mcp.1
                  ${tesselo_links}/man1/tesselo-cli.1)
if(TARGET tesselo-host)
  list(APPEND tesselo_pages ${tesselo_man}/tesselo-host.1)
endif()
install(FILES ${tesselo_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion and fish load a command's completions by its name, so the
# second name gets a link; zsh's file names both commands itself.
set(tesselo_completions ${PROJECT_SOURCE_DIR}/completions)
install(FILES ${tesselo_completions}/tesselo.bash
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME tesselo)
install(FILES ${tesselo_links}/bash/tesselo-cli
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES ${tesselo_completions}/_tesselo
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/site-functions)
install(FILES ${tesselo_completions}/tesselo.fish ${tesselo_links}/fish/tesselo-cli.fish
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/fish/vendor_completions.d)

# The license travels with every installed copy.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The host's systemd user units: the socket unit listens where the clients
# look, and starts the service (the host from this prefix) on the first
# connection. systemd looks in lib/systemd/user under /usr and /usr/local,
# whatever the platform's library folder is.
if(TARGET tesselo-host AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Written at install time: the prefix is only known then (--prefix, cpack).
  install(CODE "
    set(tesselo_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/tesselo-host.service.in\"
                   \"${CMAKE_BINARY_DIR}/systemd/tesselo-host.service\" @ONLY)")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/tesselo-host.socket
                ${CMAKE_BINARY_DIR}/systemd/tesselo-host.service
          DESTINATION lib/systemd/user)
endif()

# `cpack` in the build folder makes a Debian package of the same tree;
# cmake/deb_tree.cmake then gives the staged tree what Debian's policy asks
# for (copyright, changelog, compressed pages, stripped programs, lintian
# overrides) from packaging/debian, which also holds the long description.
# The maintainer is the one who signed the latest changelog entry.
set(tesselo_debian ${PROJECT_SOURCE_DIR}/packaging/debian)
file(STRINGS ${tesselo_debian}/changelog tesselo_signature REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" tesselo_maintainer "${tesselo_signature}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tesselo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${tesselo_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "command-line client, MCP server and tmux host for the Tesselo terminal")
file(READ ${tesselo_debian}/description CPACK_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# tesselo-host drives tmux; the clients need none of it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS tmux)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_tree.cmake)
set(CPACK_TESSELO_DEBIAN_DIR ${tesselo_debian})
set(CPACK_TESSELO_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_TESSELO_MANDIR ${CMAKE_INSTALL_MANDIR})
if(CMAKE_STRIP)
  set(CPACK_TESSELO_STRIP ${CMAKE_STRIP})
else()
  set(CPACK_TESSELO_STRIP strip)
endif()
find_program(TESSELO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TESSELO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
include(CPack)

