# Writes a text file into a C++ source file as a char array, so that a program
# carries it with no file to look up at run time.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DNAME=kPage -DNAMESPACE=ns -P embed_text.cmake
# defines  const char NAME[]  (the bytes and a closing NUL) and
#          const size_t NAME##Size  (the byte count without the NUL).
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
# Every byte as a \xNN escape of a string literal, sixteen a line.
string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" bytes "${hex}")
string(REPLACE "\n" "\"\n\"" bytes "\"${bytes}\"")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by embed_text.cmake; do not edit.
#include <cstddef>
namespace ${NAMESPACE} {
extern const char ${NAME}[];
extern const size_t ${NAME}Size;
const char ${NAME}[] =
${bytes};
const size_t ${NAME}Size = ${size};
} // namespace ${NAMESPACE}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
