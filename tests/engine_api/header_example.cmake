# Compiles the complete example at the top of include/silsplit_engine.h as a
# host would (plain C99, -pedantic, warnings as errors), links it against the
# engine library, runs it and checks what it prints.
# -DHEADER=... -DLIB=... -DCC=... -DWORK=...
file(STRINGS ${HEADER} lines)
set(inside FALSE)
set(code "")
foreach(line IN LISTS lines)
    if(line MATCHES "^ \\*   #include <silsplit_engine.h>")
        set(inside TRUE)
    endif()
    if(inside)
        if(line MATCHES "^ \\* A file instead of frames")
            break()
        endif()
        string(REGEX REPLACE "^ \\*(   )?" "" text "${line}")
        string(APPEND code "${text}\n")
    endif()
endforeach()
if(NOT code MATCHES "int main")
    message(FATAL_ERROR "no example found in ${HEADER}")
endif()
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/example.c "${code}")
get_filename_component(include_dir ${HEADER} DIRECTORY)
get_filename_component(lib_dir ${LIB} DIRECTORY)
execute_process(COMMAND ${CC} -std=c99 -pedantic -Wall -Wextra -Werror -I${include_dir}
                        ${WORK}/example.c -o ${WORK}/example ${LIB} -Wl,-rpath,${lib_dir}
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the header's example does not compile:\n${err}")
endif()
execute_process(COMMAND ${WORK}/example RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the header's example failed (${rc}):\n${out}${err}")
endif()
# Two chapters of tone, each told by the callback with its frames at 48 kHz,
# then the count and the report.
if(NOT out MATCHES "chapter 1: [0-9.]+ s to [0-9.]+ s, frames [0-9]+ to [0-9]+\nchapter 2: [^\n]*\n2 chapters\n\\{\"sample_rate\":48000,")
    message(FATAL_ERROR "the header's example printed:\n${out}")
endif()
message(STATUS "${out}")
