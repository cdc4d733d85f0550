# What the release packages hold, and CPack's settings for them. The texts
# are made by the release_files target (scripts/package builds it first):
#
#   Windows   a zip whose one folder, "Stashwell", holds stashwell.exe, the
#             guide as HTML with its pictures, README.txt, CHANGES.txt,
#             LICENSE.txt and THIRD-PARTY-NOTICES.txt (the texts with
#             CR LF line ends); the folder's name stays the same from
#             version to version, so a mail filter's program path survives
#             an upgrade
#   Linux     a .deb with /usr/bin/stashwell, its manual page, the guide
#             (Markdown, compressed, without the Windows pictures), the
#             changelog and the copyright file with the notices of the
#             runtime parts linked into the program
set(STASHWELL_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(STASHWELL_RELEASE_FILES ${CMAKE_SOURCE_DIR}/cmake/release_files.cmake)
set(STASHWELL_NOTICES ${CMAKE_SOURCE_DIR}/packaging/notices)
# The guide's first line under its title.
set(STASHWELL_VERSION_LINE
    "Version ${PROJECT_VERSION}, ${STASHWELL_RELEASE_DATE}")
set(CPACK_PACKAGE_NAME stashwell)
set(CPACK_PACKAGE_VENDOR "The Stashwell developers")
set(CPACK_PACKAGE_CONTACT "The Stashwell developers <stashwell@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "moves the attachment files a mail client has saved into a folder")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
set(CPACK_VERBATIM_VARIABLES ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The runtime parts of MinGW-w64 and GCC that a static link puts into
  # the program; the release test checks them against the link map.
  set(notices ${STASHWELL_NOTICES}/windows.txt
      ${STASHWELL_NOTICES}/mingw-w64-runtime.txt
      ${STASHWELL_NOTICES}/gdtoa.txt ${STASHWELL_NOTICES}/winpthreads.txt
      ${STASHWELL_NOTICES}/gcc-runtime.txt)
  find_program(STASHWELL_MARKDOWN cmark-gfm)
  set(made ${STASHWELL_RELEASE_DIR}/guide.html
      ${STASHWELL_RELEASE_DIR}/README.txt ${STASHWELL_RELEASE_DIR}/CHANGES.txt
      ${STASHWELL_RELEASE_DIR}/LICENSE.txt
      ${STASHWELL_RELEASE_DIR}/THIRD-PARTY-NOTICES.txt)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/guide.html
    COMMAND ${CMAKE_COMMAND} -DMODE=html
            "-DMARKDOWN=${STASHWELL_MARKDOWN}" "-DTITLE=Stashwell user guide"
            "-DVERSION_LINE=${STASHWELL_VERSION_LINE}"
            -DIN=${CMAKE_SOURCE_DIR}/docs/guide.md
            -DOUT=${STASHWELL_RELEASE_DIR}/guide.html
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/guide.md ${STASHWELL_RELEASE_FILES}
            ${CMAKE_SOURCE_DIR}/cmake/guide-page.html.in
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/README.txt
    COMMAND ${CMAKE_COMMAND} -DMODE=join -DNEWLINE=CRLF
            -DVERSION=${PROJECT_VERSION}
            -DIN=${CMAKE_SOURCE_DIR}/packaging/README.txt
            -DOUT=${STASHWELL_RELEASE_DIR}/README.txt
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/README.txt ${STASHWELL_RELEASE_FILES}
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/CHANGES.txt
    COMMAND ${CMAKE_COMMAND} -DMODE=changes
            -DIN=${CMAKE_SOURCE_DIR}/CHANGELOG.md
            -DOUT=${STASHWELL_RELEASE_DIR}/CHANGES.txt
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${STASHWELL_RELEASE_FILES}
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -DMODE=join -DNEWLINE=CRLF
            -DIN=${CMAKE_SOURCE_DIR}/LICENSE
            -DOUT=${STASHWELL_RELEASE_DIR}/LICENSE.txt
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE ${STASHWELL_RELEASE_FILES}
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/THIRD-PARTY-NOTICES.txt
    COMMAND ${CMAKE_COMMAND} -DMODE=join -DNEWLINE=CRLF "-DIN=${notices}"
            -DOUT=${STASHWELL_RELEASE_DIR}/THIRD-PARTY-NOTICES.txt
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${notices} ${STASHWELL_RELEASE_FILES}
    VERBATIM)

  set(folder Stashwell)
  install(TARGETS stashwell RUNTIME DESTINATION ${folder})
  install(FILES ${made} DESTINATION ${folder})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/images DESTINATION ${folder})
  # The Windows Release link strips the program (src/); the zip holds the
  # very file the tests run.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The members in a fixed order, and their times from SOURCE_DATE_EPOCH.
  find_program(STASHWELL_PYTHON python3)
  set(CPACK_STASHWELL_PYTHON ${STASHWELL_PYTHON})
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/zip_in_order.cmake)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME stashwell-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME stashwell-${PROJECT_VERSION}-win64)
  endif()
else()
  # The C library is linked statically too: its notice is followed by the
  # copyright file of the C library package the program is built with.
  set(notices ${STASHWELL_NOTICES}/linux.txt ${STASHWELL_NOTICES}/glibc.txt)
  if(EXISTS /usr/share/doc/libc6/copyright)
    list(APPEND notices /usr/share/doc/libc6/copyright)
  endif()
  list(APPEND notices ${STASHWELL_NOTICES}/gcc-runtime.txt)
  set(doc share/doc/stashwell)
  set(made ${STASHWELL_RELEASE_DIR}/stashwell.1.gz
      ${STASHWELL_RELEASE_DIR}/guide.md.gz
      ${STASHWELL_RELEASE_DIR}/changelog.gz ${STASHWELL_RELEASE_DIR}/copyright)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/stashwell.1.gz
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/stashwell.1
            > ${STASHWELL_RELEASE_DIR}/stashwell.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/stashwell.1)
  # Documents over 4 KB go compressed (Debian policy); the guide's
  # pictures are of the Windows message boxes and stay out.
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/guide.md.gz
    COMMAND ${CMAKE_COMMAND} -DMODE=markdown
            "-DVERSION_LINE=${STASHWELL_VERSION_LINE}"
            -DIN=${CMAKE_SOURCE_DIR}/docs/guide.md
            -DOUT=${STASHWELL_RELEASE_DIR}/guide.md
            -P ${STASHWELL_RELEASE_FILES}
    COMMAND gzip -9nf ${STASHWELL_RELEASE_DIR}/guide.md
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/guide.md ${STASHWELL_RELEASE_FILES}
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DMODE=debian -DPACKAGE=stashwell
            "-DMAINTAINER=${CPACK_PACKAGE_CONTACT}"
            -DIN=${CMAKE_SOURCE_DIR}/CHANGELOG.md
            -DOUT=${STASHWELL_RELEASE_DIR}/changelog
            -P ${STASHWELL_RELEASE_FILES}
    COMMAND gzip -9nf ${STASHWELL_RELEASE_DIR}/changelog
    DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${STASHWELL_RELEASE_FILES}
    VERBATIM)
  add_custom_command(
    OUTPUT ${STASHWELL_RELEASE_DIR}/copyright
    COMMAND ${CMAKE_COMMAND} -DMODE=join
            "-DIN=${CMAKE_SOURCE_DIR}/packaging/copyright-header.txt;${CMAKE_SOURCE_DIR}/LICENSE;${notices}"
            -DOUT=${STASHWELL_RELEASE_DIR}/copyright
            -P ${STASHWELL_RELEASE_FILES}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/copyright-header.txt
            ${CMAKE_SOURCE_DIR}/LICENSE ${notices} ${STASHWELL_RELEASE_FILES}
    VERBATIM)

  install(TARGETS stashwell RUNTIME DESTINATION bin)
  # Strip leaves the .comment and .note sections the toolchain's objects
  # bring along; the package has no use for them.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\"
        --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/stashwell\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  install(FILES ${STASHWELL_RELEASE_DIR}/stashwell.1.gz
          DESTINATION share/man/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
          DESTINATION share/lintian/overrides RENAME stashwell)
  install(FILES ${STASHWELL_RELEASE_DIR}/guide.md.gz
          ${STASHWELL_RELEASE_DIR}/changelog.gz ${STASHWELL_RELEASE_DIR}/copyright
          DESTINATION ${doc})

  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Answering Yes to the question opens the log with xdg-open.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
  set(CPACK_PACKAGE_DESCRIPTION
      "Started by a mail client's filter action once per message, it reads the
message file, takes every \"Attachment Converted: \" line as an attachment
file the client has stored, and moves that file into a destination folder:
under its own name, not at all when an identical file is there already, or
under a numbered name. It never overwrites a file and keeps a log beside
the message file. The message file is deleted after a complete scan.")
endif()

file(MAKE_DIRECTORY ${STASHWELL_RELEASE_DIR})
add_custom_target(release_files DEPENDS ${made})
include(CPack)
