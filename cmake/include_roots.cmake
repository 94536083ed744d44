# Each library and program sees its own headers and those of what it links, nothing more: its
# headers are linked into an include root of its own in the build tree, so an include across the
# layers that the design does not allow (the device reaching into link's I/O or into ops/, link
# reaching up into ops/) fails to build.
#
# torvane_include_root(TARGET [AS FOLDER]): call after the target's sources are all given.
# Headers are included as FOLDER/name.h; FOLDER is the target's folder in the tree unless given.
function(torvane_include_root target)
    cmake_parse_arguments(R "" "AS" "" ${ARGN})
    get_target_property(sources ${target} SOURCES)
    get_target_property(dir ${target} SOURCE_DIR)
    if(R_AS)
        set(folder ${R_AS})
    else()
        file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${dir})
    endif()
    set(root ${PROJECT_BINARY_DIR}/include/${target})
    file(REMOVE_RECURSE ${root})
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.h$")
            continue()
        endif()
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${dir})
        file(RELATIVE_PATH name ${dir} ${path})
        if(name MATCHES "^\\.\\.")
            continue() # made in the build tree
        endif()
        get_filename_component(sub ${root}/${folder}/${name} DIRECTORY)
        file(MAKE_DIRECTORY ${sub})
        file(CREATE_LINK ${path} ${root}/${folder}/${name} SYMBOLIC)
    endforeach()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        target_include_directories(${target} PRIVATE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
    endif()
endfunction()
