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

set(tesselo_pages ${PROJECT_SOURCE_DIR}/doc/man/tesselo.1 ${PROJECT_SOURCE_DIR}/doc/man/tesselo-mcp.1
                  ${tesselo_links}/man1/tesselo-cli.1)
if(TARGET tesselo-host)
  list(APPEND tesselo_pages ${PROJECT_SOURCE_DIR}/doc/man/tesselo-host.1)
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

# `cpack` in the build folder makes a Debian package of the same tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tesselo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tesselo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Command-line client and MCP server for the Tesselo terminal application")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)
find_program(TESSELO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TESSELO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
include(CPack)

