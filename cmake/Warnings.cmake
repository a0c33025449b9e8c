# Our own code gets the strict warnings (not Qt's or GoogleTest's headers). The project's presets
# and CI make them errors; a plain configure of any build type only shows them, so that a
# compiler's false positive at some optimisation level (GCC 12's -Wrestrict inside libstdc++ at
# -O3, for one) cannot stop a user's build.
option(VENNICK_WARNINGS_AS_ERRORS "Treat warnings in Vennick's own code as errors" OFF)

function(vennick_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8)
    if(VENNICK_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                             -Wconversion -Wno-sign-conversion)
    if(VENNICK_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
