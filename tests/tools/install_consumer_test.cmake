# Installs the build tree into a fresh prefix, then builds the consumer project against it:
# once through find_package(marrowzip), once through pkg-config. Also runs the installed tool.
# Inputs: BUILD_DIR CONSUMER_DIR WORK_DIR LIBDIR GENERATOR CXX CXX_FLAGS.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "failed (${status}): ${command}\n${out}")
    endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${prefix}/bin/marrowzip --version)
foreach(file share/man/man1/marrowzip.1.gz share/bash-completion/completions/marrowzip
        share/zsh/vendor-completions/_marrowzip)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "cmake --install did not install ${file}")
    endif()
endforeach()

# The public headers only: each layer's internal headers stay in the source tree.
foreach(internal read/archive_reader.hpp write/archive_writer.hpp write/bulk_queue.hpp
        format/byte_cursor.hpp archive/archive_access.hpp)
    if(EXISTS ${prefix}/include/marrowzip/${internal})
        message(FATAL_ERROR "cmake --install installed the internal header ${internal}")
    endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs marrowzip
    RESULT_VARIABLE status OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find the installed marrowzip.pc")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CXX_FLAGS}")
run(${CXX} ${extra} ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/consumer-pkg-config ${flags})
run(${WORK_DIR}/consumer-pkg-config)
