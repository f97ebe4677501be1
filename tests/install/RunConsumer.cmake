# cmake -DBUILD_DIR=... -DCONSUMER_SOURCE=... -DWORK_DIR=... [-DTOOLCHAIN=... -DEMULATOR=...] -P RunConsumer.cmake
# A cross build hands its toolchain file on to the consumer and runs the consumer through its
# emulator (Wine), with the installed libraries found before the build tree's.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
    endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(cross_options "")
if(TOOLCHAIN)
    set(cross_options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${cross_options}
    "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
if(EMULATOR)
    string(REPLACE "/" "\\" installed_bin "Z:${prefix}/bin")
    set(ENV{KK_WINE_PATH_FIRST} "${installed_bin}")
    run(${EMULATOR} ${WORK_DIR}/consumer/consumer.exe)
else()
    run(${WORK_DIR}/consumer/consumer)
endif()
message(STATUS "consumer built and ran against ${prefix}")
