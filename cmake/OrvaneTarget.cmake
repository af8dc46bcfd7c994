# Per-target build settings for the station's own code: warnings as errors and
# the sanitizers chosen by the preset (ORVANE_SANITIZE is "address", "thread" or empty).

set(ORVANE_SANITIZE "" CACHE STRING "Sanitizer build: address, thread or empty")

function(orvane_enable_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
        -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Werror)
    # GCC 12 at -O3 reports a false -Wrestrict inside std::string's operator+
    # (GCC bug 105651), which would fail the optimised build.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
endfunction()

# Sanitizer flags go on every target (third-party code included) so that the
# whole program is instrumented consistently.
if(ORVANE_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(ORVANE_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT ORVANE_SANITIZE STREQUAL "")
    message(FATAL_ERROR "ORVANE_SANITIZE must be address, thread or empty")
endif()

# A library of the station: warnings as errors, includes from the repository root.
function(orvane_library target)
    add_library(${target} STATIC ${ARGN})
    orvane_enable_warnings(${target})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC Threads::Threads)
endfunction()
