# orvane_build_identity(VAR HEADER...): the build identity of an interface
# between two binaries built apart (a program and a module it loads): a hash of
# the headers named, of every header of the repository they include, however
# deep, and of the build's configuration. Two binaries that agree on it were
# made from the same declarations by the same compiler with the same flags.
# Editing one of the headers configures the build anew.

function(orvane_build_identity out)
    set(pending ${ARGN})
    set(headers)
    while(pending)
        list(POP_FRONT pending header)
        if(header IN_LIST headers)
            continue()
        endif()
        list(APPEND headers ${header})
        file(STRINGS ${header} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" name "${line}")
            if(EXISTS ${PROJECT_SOURCE_DIR}/${name})
                list(APPEND pending ${PROJECT_SOURCE_DIR}/${name})
            endif()
        endforeach()
    endwhile()
    list(SORT headers)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${headers})

    string(TOUPPER "${CMAKE_BUILD_TYPE}" type)
    set(text "${PROJECT_VERSION}|${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
    string(APPEND text "|${CMAKE_CXX_STANDARD}|${CMAKE_BUILD_TYPE}|${ORVANE_SANITIZE}")
    string(APPEND text "|${CMAKE_CXX_FLAGS}|${CMAKE_CXX_FLAGS_${type}}")
    foreach(header IN LISTS headers)
        file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${header})
        file(SHA256 ${header} hash)
        string(APPEND text "|${name}:${hash}")
    endforeach()
    string(SHA256 hash "${text}")
    string(SUBSTRING ${hash} 0 16 hash)
    set(${out} ${hash} PARENT_SCOPE)
endfunction()
