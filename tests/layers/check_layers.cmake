# Builds each probe: NAME:yes:HEADER must build; NAME:no:HEADER must fail, and on its include of
# HEADER, not on anything else. Then no source may reach out of its folder with "../", which the
# include roots would not stop, and nothing outside tests/ may build from tests/.
foreach(entry IN LISTS PROBES)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 probe)
    list(GET parts 1 allowed)
    list(GET parts 2 header)
    if(NOT EXISTS ${SOURCE}/${header})
        message(FATAL_ERROR "${probe} includes ${header}, which is no header of ours")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target ${probe}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(allowed STREQUAL "yes" AND NOT result EQUAL 0)
        message(FATAL_ERROR "${probe} does not build, so the probes prove nothing:\n${output}")
    elseif(allowed STREQUAL "no" AND result EQUAL 0)
        message(FATAL_ERROR "${probe} builds: a layer sees what it must not")
    elseif(allowed STREQUAL "no")
        string(FIND "${output}" "${header}: No such file or directory" gcc)
        string(FIND "${output}" "'${header}' file not found" clang)
        if(gcc EQUAL -1 AND clang EQUAL -1)
            message(FATAL_ERROR "${probe} fails, but not for want of ${header}:\n${output}")
        endif()
    endif()
    message(STATUS "${probe}: ${allowed}, as it should be")
endforeach()

file(GLOB_RECURSE sources RELATIVE ${SOURCE}
    ${SOURCE}/app/*.h ${SOURCE}/app/*.cpp ${SOURCE}/base/*.h ${SOURCE}/base/*.cpp
    ${SOURCE}/bench/*.h ${SOURCE}/bench/*.cpp
    ${SOURCE}/cli/*.h ${SOURCE}/cli/*.cpp ${SOURCE}/device/*.h ${SOURCE}/device/*.cpp
    ${SOURCE}/harness/*.h ${SOURCE}/harness/*.cpp
    ${SOURCE}/link/*.h ${SOURCE}/link/*.cpp ${SOURCE}/ops/*.h ${SOURCE}/ops/*.cpp
    ${SOURCE}/plant/*.h ${SOURCE}/plant/*.cpp
    ${SOURCE}/ports/*.h ${SOURCE}/ports/*.cpp ${SOURCE}/station/*.h ${SOURCE}/station/*.cpp
    ${SOURCE}/station_window/*.h ${SOURCE}/station_window/*.cpp
    ${SOURCE}/widgets/*.h ${SOURCE}/widgets/*.cpp
    ${SOURCE}/tests/*.h ${SOURCE}/tests/*.cpp)
foreach(source IN LISTS sources)
    file(STRINGS ${SOURCE}/${source} climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]\\.\\./")
    if(climbing)
        message(FATAL_ERROR "${source} includes past the include roots: ${climbing}")
    endif()
endforeach()
message(STATUS "no include climbs out of its folder")

# Nothing outside tests/ builds from it: what the tests and the benchmarks share has a home of its
# own (harness/).
file(GLOB lists RELATIVE ${SOURCE} ${SOURCE}/*/CMakeLists.txt)
foreach(list IN LISTS lists)
    if(list STREQUAL "tests/CMakeLists.txt")
        continue()
    endif()
    file(STRINGS ${SOURCE}/${list} reaching REGEX "SOURCE_DIR}/tests")
    if(reaching)
        message(FATAL_ERROR "${list} reaches into tests/: ${reaching}")
    endif()
endforeach()
message(STATUS "nothing outside tests/ builds from it")
