# Makes the texts the packages carry; run with cmake -P by the targets of
# cmake/packaging.cmake.
#
#   -DMODE=join      IN (a list of files, joined by an empty line) to OUT,
#                    with CR LF line ends when NEWLINE=CRLF
#   -DMODE=html      IN (Markdown) to OUT: a whole HTML page titled TITLE,
#                    the body made by the Markdown tool MARKDOWN
#   -DMODE=debian    IN (CHANGELOG.md) to OUT as a Debian changelog of the
#                    package PACKAGE, signed by MAINTAINER
cmake_minimum_required(VERSION 3.21)

function(write_text path text newline)
  if(newline STREQUAL "CRLF")
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

if(MODE STREQUAL "join")
  set(text "")
  foreach(part IN LISTS IN)
    file(READ "${part}" piece)
    if(NOT text STREQUAL "")
      string(APPEND text "\n")
    endif()
    string(APPEND text "${piece}")
  endforeach()
  write_text("${OUT}" "${text}" "${NEWLINE}")

elseif(MODE STREQUAL "html")
  if(NOT MARKDOWN)
    message(FATAL_ERROR "cmark-gfm is missing: scripts/setup installs it")
  endif()
  # GitHub-flavoured Markdown: the guide's tables need the table extension.
  execute_process(COMMAND "${MARKDOWN}" --extension table --to html "${IN}"
                  OUTPUT_VARIABLE body RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${MARKDOWN} failed on ${IN}: ${status}")
  endif()
  file(READ "${CMAKE_CURRENT_LIST_DIR}/guide-page.html.in" page)
  string(REPLACE "@TITLE@" "${TITLE}" page "${page}")
  string(REPLACE "@BODY@" "${body}" page "${page}")
  write_text("${OUT}" "${page}" "CRLF")

elseif(MODE STREQUAL "debian")
  # "## <version> - <YYYY-MM-DD>" heads an entry; "- " starts an item and
  # indented lines continue it.
  file(STRINGS "${IN}" lines)
  set(text "")
  set(entry "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ([^ ]+) - ([0-9]+)-([0-9]+)-([0-9]+)$")
      if(NOT entry STREQUAL "")
        string(APPEND text "${entry}\n -- ${MAINTAINER}  ${signed}\n\n")
      endif()
      set(entry "${PACKAGE} (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
      set(date "${CMAKE_MATCH_2}-${CMAKE_MATCH_3}-${CMAKE_MATCH_4}")
      execute_process(COMMAND date -u -R -d "${date}"
                      OUTPUT_VARIABLE signed
                      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    elseif(entry STREQUAL "")
      # The file's own heading and introduction.
    elseif(line MATCHES "^- (.*)$")
      string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  +(.*)$")
      string(APPEND entry "    ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  string(APPEND text "${entry}\n -- ${MAINTAINER}  ${signed}\n")
  file(WRITE "${OUT}" "${text}")

else()
  message(FATAL_ERROR "unknown MODE \"${MODE}\"")
endif()
