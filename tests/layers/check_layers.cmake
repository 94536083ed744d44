# Builds each probe: NAME:yes must build, NAME:no must not.
foreach(entry IN LISTS PROBES)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 probe)
    list(GET parts 1 allowed)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target ${probe}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(allowed STREQUAL "yes" AND NOT result EQUAL 0)
        message(FATAL_ERROR "${probe} does not build, so the probes prove nothing:\n${output}")
    elseif(allowed STREQUAL "no" AND result EQUAL 0)
        message(FATAL_ERROR "${probe} builds: a layer sees what it must not")
    endif()
    message(STATUS "${probe}: ${allowed}, as it should be")
endforeach()
