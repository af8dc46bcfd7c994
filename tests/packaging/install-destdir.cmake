# cmake -DBUILD_DIR=... -DDESTDIR=... -P install-destdir.cmake
# A fresh install of the build into DESTDIR, as an operator's would be.
file(REMOVE_RECURSE ${DESTDIR})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${DESTDIR} ${CMAKE_COMMAND} --install ${BUILD_DIR}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()
