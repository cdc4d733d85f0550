# Makes the texts the packages carry; run with cmake -P by the targets of
# cmake/packaging.cmake.
#
#   -DMODE=join      IN (a list of files, joined by an empty line) to OUT,
#                    with CR LF line ends when NEWLINE=CRLF; @VERSION@ in
#                    them becomes VERSION
#   -DMODE=html      IN (Markdown) to OUT: a whole HTML page titled TITLE,
#                    the body made by the Markdown tool MARKDOWN; the line
#                    VERSION_LINE follows the first heading
#   -DMODE=markdown  IN (Markdown) to OUT, the line VERSION_LINE after the
#                    first heading
#   -DMODE=changes   IN (CHANGELOG.md) to OUT as plain text with CR LF
#                    line ends: each entry's version and date underlined,
#                    its items as they stand, no Markdown quotes
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

# The Markdown text of IN with the line VERSION_LINE as a paragraph of its
# own after the first line (the title).
function(read_with_version_line result)
  file(READ "${IN}" text)
  string(FIND "${text}" "\n" end)
  if(end LESS 0 OR NOT text MATCHES "^# ")
    message(FATAL_ERROR "${IN} does not begin with a \"# \" title")
  endif()
  string(SUBSTRING "${text}" 0 ${end} title)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${text}" ${end} -1 rest)
  set(${result} "${title}\n\n${VERSION_LINE}\n${rest}" PARENT_SCOPE)
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
  if(DEFINED VERSION)
    string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
  endif()
  write_text("${OUT}" "${text}" "${NEWLINE}")

elseif(MODE STREQUAL "markdown")
  read_with_version_line(text)
  file(WRITE "${OUT}" "${text}")

elseif(MODE STREQUAL "changes")
  # "## <version> - <YYYY-MM-DD>" heads an entry; the file's own heading and
  # introduction before the first entry are left out.
  file(STRINGS "${IN}" lines)
  set(text "")
  set(in_entry OFF)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## (.*)$")
      set(heading "${CMAKE_MATCH_1}")
      string(LENGTH "${heading}" length)
      string(REPEAT "-" ${length} rule)
      if(in_entry)
        string(APPEND text "\n")
      endif()
      string(APPEND text "${heading}\n${rule}\n\n")
      set(in_entry ON)
    elseif(in_entry AND NOT line STREQUAL "")
      string(REPLACE "`" "" line "${line}")
      string(APPEND text "${line}\n")
    endif()
  endforeach()
  write_text("${OUT}" "Stashwell: changes\n==================\n\n${text}"
             "CRLF")

elseif(MODE STREQUAL "html")
  if(NOT MARKDOWN)
    message(FATAL_ERROR "cmark-gfm is missing: scripts/setup installs it")
  endif()
  read_with_version_line(text)
  file(WRITE "${OUT}.md" "${text}")
  # GitHub-flavoured Markdown: the guide's tables need the table extension.
  execute_process(COMMAND "${MARKDOWN}" --extension table --to html
                          "${OUT}.md"
                  OUTPUT_VARIABLE body RESULT_VARIABLE status)
  file(REMOVE "${OUT}.md")
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
