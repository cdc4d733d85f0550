# Run by CPack after it has made the zip (CPACK_POST_BUILD_SCRIPTS): packs
# the staged files once more with write_zip.py, members in the order of
# their names and, with SOURCE_DATE_EPOCH set, all with that time, so that
# one commit always gives the same zip. CPack's own zip takes the files in
# the order the file system lists them and keeps each file's own times,
# access and change times included.
if(NOT CPACK_STASHWELL_PYTHON)
  message(FATAL_ERROR "python3 is missing: scripts/setup installs it")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.zip$")
    continue()
  endif()
  file(REMOVE "${package}")
  execute_process(
    COMMAND "${CPACK_STASHWELL_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/write_zip.py"
            "${package}" "${CPACK_TEMPORARY_DIRECTORY}"
            "$ENV{SOURCE_DATE_EPOCH}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
