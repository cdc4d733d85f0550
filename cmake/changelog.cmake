# Reads CHANGELOG.md: its top entry must be this version's. Sets
# STASHWELL_RELEASE_DATE (YYYY-MM-DD), the manual page's date.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md stashwell_entries
     REGEX "^## ")
list(GET stashwell_entries 0 stashwell_top)
if(NOT stashwell_top MATCHES
   "^## ([0-9]+\\.[0-9]+\\.[0-9]+) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "CHANGELOG.md: the top entry \"${stashwell_top}\" is "
                      "not \"## <version> - <YYYY-MM-DD>\"")
endif()
if(NOT CMAKE_MATCH_1 VERSION_EQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md: the top entry is ${CMAKE_MATCH_1}, the "
                      "project's version is ${PROJECT_VERSION}")
endif()
set(STASHWELL_RELEASE_DATE
    "${CMAKE_MATCH_2}-${CMAKE_MATCH_3}-${CMAKE_MATCH_4}")

