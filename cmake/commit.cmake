# Writes OUT, a header naming the commit of SOURCE (with "+changes" when its tracked files
# differ from it), only when that changes: the binaries carry it in their version blocks.
#   cmake -DSOURCE=... -DOUT=... -P commit.cmake
execute_process(COMMAND git -C ${SOURCE} rev-parse --short=12 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT commit)
    set(commit "unknown")
else()
    execute_process(COMMAND git -C ${SOURCE} status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(changes)
        set(commit "${commit}+changes")
    endif()
endif()
set(text "// Made by cmake/commit.cmake.\n#pragma once\n#define VANDREL_COMMIT \"${commit}\"\n")
if(EXISTS ${OUT})
    file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
    file(WRITE ${OUT} "${text}")
endif()
