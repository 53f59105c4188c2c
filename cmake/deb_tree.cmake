# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged tree, before the
# package is made: what Debian's policy asks of a package that a plain
# `cmake --install` does not do. The variables come from cmake/install.cmake.
#   - the version the changelog names is the one being packaged;
#   - /usr/share/doc/tesselo holds the machine-readable copyright (instead of
#     LICENSE, whose text it carries) and the changelog, compressed;
#   - manual pages are compressed, and links between them point at the
#     compressed names;
#   - programs are stripped as dh_strip strips them, .comment and .note too;
#   - the lintian overrides go where lintian reads them.
set(debian ${CPACK_TESSELO_DEBIAN_DIR})
set(usr ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT IS_DIRECTORY "${usr}")
  message(FATAL_ERROR "deb_tree: no staged tree at ${usr}")
endif()

file(STRINGS ${debian}/changelog heading LIMIT_COUNT 1)
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*" "\\1" changelog_version "${heading}")
if(NOT changelog_version STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog names version ${changelog_version}, "
                      "the project is ${CPACK_PACKAGE_VERSION}: add a changelog entry")
endif()

# Debian's compression: best ratio, no name or time stamp in the header.
function(compress file)
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "deb_tree: gzip failed on ${file}")
  endif()
endfunction()

set(doc ${usr}/${CPACK_TESSELO_DOCDIR})
file(REMOVE ${doc}/LICENSE)
file(COPY_FILE ${debian}/copyright ${doc}/copyright)
file(COPY_FILE ${debian}/changelog ${doc}/changelog)
compress(${doc}/changelog)

file(GLOB pages LIST_DIRECTORIES false ${usr}/${CPACK_TESSELO_MANDIR}/man*/*)
foreach(page IN LISTS pages)
  if(IS_SYMLINK ${page})
    file(READ_SYMLINK ${page} target)
    file(REMOVE ${page})
    file(CREATE_LINK ${target}.gz ${page}.gz SYMBOLIC)
  else()
    compress(${page})
  endif()
endforeach()

file(GLOB programs LIST_DIRECTORIES false ${usr}/bin/*)
foreach(program IN LISTS programs)
  if(IS_SYMLINK ${program})
    continue()
  endif()
  file(READ ${program} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND ${CPACK_TESSELO_STRIP} --remove-section=.comment --remove-section=.note
                            ${program} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "deb_tree: ${CPACK_TESSELO_STRIP} failed on ${program}")
    endif()
  endif()
endforeach()

set(overrides ${usr}/share/lintian/overrides)
file(MAKE_DIRECTORY ${overrides})
file(COPY_FILE ${debian}/lintian-overrides ${overrides}/${CPACK_PACKAGE_NAME})
