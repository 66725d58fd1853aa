# cmake -DINPUT=file -DOUTPUT=header -DNAME=identifier -P embed_text.cmake
# Writes a header that holds the file's text as one constant, so that the
# program carries the file it was built with and the file stays the one source.
file(READ "${INPUT}" text)
set(delimiter "veldane_embedded")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's delimiter")
endif()
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.new"
  "// Generated from ${source} by cmake/embed_text.cmake; edit that file instead.\n"
  "#pragma once\n"
  "inline constexpr char ${NAME}[] = R\"${delimiter}(${text})${delimiter}\";\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
