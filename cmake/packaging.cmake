# What users install: on Linux the program, its man page and its documents
# under the usual directories, packaged as a .deb; on Windows quorlane.exe with
# README.txt, the documents of docs/ and LICENSE.txt in one zip.

# The documents beyond the README, one file each, in the order the README
# lists them.
set(DocumentNames guide limitations evidence speed developing)

if(WIN32)
  # The documents as Windows opens them: .txt files with CRLF line ends.
  configure_file(README.md README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  foreach(Name IN LISTS DocumentNames)
    configure_file(docs/${Name}.md docs/${Name}.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/docs/${Name}.txt DESTINATION docs)
  endforeach()
  install(TARGETS quorlane RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quorlane-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  set(DocumentDirectory ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlane)  # the package's name, as Debian wants

  # Debian keeps man pages and changelogs compressed, made reproducibly.
  # The copyright file is the licence, in Debian's machine-readable form.
  foreach(Source front/quorlane.1 packaging/changelog)
    get_filename_component(Name ${Source} NAME)
    add_custom_command(OUTPUT ${Name}.gz
      COMMAND sh -c "gzip -9n <'${CMAKE_SOURCE_DIR}/${Source}' >'${Name}.gz'"
      DEPENDS ${Source} VERBATIM)
    list(APPEND CompressedDocuments ${CMAKE_CURRENT_BINARY_DIR}/${Name}.gz)
  endforeach()
  add_custom_target(documents ALL DEPENDS ${CompressedDocuments})
  file(STRINGS LICENSE LicenseLines)
  list(REMOVE_AT LicenseLines 0 1 2 3)  # the title, a blank, the copyright line, a blank
  set(Copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quorlane
Source: ${PROJECT_HOMEPAGE_URL}

Files: *
Copyright: 2026 the Quorlane developers
License: Expat\n")
  foreach(Line IN LISTS LicenseLines)
    if(Line STREQUAL "")
      string(APPEND Copyright " .\n")
    else()
      string(APPEND Copyright " ${Line}\n")
    endif()
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright "${Copyright}")

  install(TARGETS quorlane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorlane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${DocumentDirectory})
  list(TRANSFORM DocumentNames REPLACE "(.+)" "docs/\\1.md" OUTPUT_VARIABLE DocumentFiles)
  install(FILES ${DocumentFiles} DESTINATION ${DocumentDirectory}/docs)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DebianArchitecture})
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # dpkg-shlibdeps cannot read the C library of another architecture from
  # Debian's cross packages, which have no symbols file. A cross-built
  # program, which needs only the C library, depends on the version of libc6
  # that brought the newest glibc symbol it uses, as libc6's symbols file
  # would have it; cpack reads that off the program when it starts.
  if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CrossDependency "
execute_process(COMMAND ${CMAKE_OBJDUMP} -T $<TARGET_FILE:quorlane> OUTPUT_VARIABLE Symbols)
string(REGEX MATCHALL \"GLIBC_[0-9.]+\" Versions \"\${Symbols}\")
list(TRANSFORM Versions REPLACE \"GLIBC_\" \"\")
set(Newest 0)
foreach(Version IN LISTS Versions)
  if(Version VERSION_GREATER Newest)
    set(Newest \${Version})
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS \"libc6 (>= \${Newest})\")
")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
endif()

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_NAME quorlane)
set(CPACK_PACKAGE_VENDOR "the Quorlane developers")
set(CPACK_PACKAGE_CONTACT "the Quorlane developers <developers@quorlane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make the remains of deleted files unrecoverable")
set(CPACK_PACKAGE_DESCRIPTION "Quorlane fills all the free space of one drive with a single temporary
file of pseudo-random bytes, flushes it to the medium and lets the file
system delete it, so that the blocks that held deleted files hold random
data instead. It asks before it writes, draws a progress bar that follows
what the disk has taken, and reports a fill whose data did not all reach
the drive. On Linux, drive X: is the file system mounted at /mnt/x.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# Reproducible packages: every date in them is the release's, from the
# changelog's first entry, unless SOURCE_DATE_EPOCH is set, as Debian's tools
# set it. cpack reads the variable from its own environment, so the file it
# includes when it starts sets it there.
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/CPackStart.cmake
     CONTENT "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n  set(ENV{SOURCE_DATE_EPOCH} ${ReleaseEpoch})\nendif()\n${CrossDependency}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackStart.cmake)
include(CPack)
