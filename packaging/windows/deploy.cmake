# SPDX-License-Identifier: MIT
# Run at install time: copies the plugins (TQ5_PLUGINS, "folder|path" each) and every DLL that the
# program (TQ5_PROGRAM) and they import, directly or through each other, into the install prefix.
# DLLs are looked for in TQ5_DLL_DIRS by name without regard to case, as Windows matches them.
# On Windows a name found in none of them should be one Windows has itself, and one it lacks is
# reported; a cross build cannot look there, so leaves every other name to Windows, and the tests
# under wine check the result.
if(TQ5_OBJDUMP)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${TQ5_OBJDUMP}")
endif()

foreach(dir IN LISTS TQ5_DLL_DIRS)
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll IN LISTS dlls)
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" key)
        if(NOT DEFINED found_${key})
            set(found_${key} "${dll}")
        endif()
    endforeach()
endforeach()

set(copied)
function(deploy file destination)
    file(INSTALL "${file}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}")
    get_filename_component(name "${file}" NAME)
    set(copied ${copied} "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${destination}/${name}" PARENT_SCOPE)
endfunction()

set(pending "${TQ5_PROGRAM}")
foreach(plugin IN LISTS TQ5_PLUGINS)
    string(REPLACE "|" ";" plugin "${plugin}")
    list(GET plugin 0 folder)
    list(GET plugin 1 path)
    deploy("${path}" "${folder}")
    list(APPEND pending "${path}")
endforeach()
set(windows)
while(pending)
    list(POP_FRONT pending file)
    # Only the file's own imports: with no folders to search, nothing is followed further.
    file(GET_RUNTIME_DEPENDENCIES LIBRARIES "${file}"
         RESOLVED_DEPENDENCIES_VAR resolved UNRESOLVED_DEPENDENCIES_VAR unresolved
         PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-")
    foreach(import IN LISTS resolved unresolved)
        get_filename_component(name "${import}" NAME)
        string(TOLOWER "${name}" key)
        if(DEFINED done_${key})
            continue()
        endif()
        set(done_${key} 1)
        list(FIND unresolved "${import}" missing)
        if(DEFINED found_${key})
            deploy("${found_${key}}" .)
            list(APPEND pending "${found_${key}}")
        elseif(CMAKE_HOST_WIN32 AND missing GREATER -1)
            message(WARNING "${file} imports ${name}, found neither in ${TQ5_DLL_DIRS} nor in "
                            "Windows: the folder lacks it")
        else()
            list(APPEND windows ${key})
        endif()
    endforeach()
endwhile()
list(SORT windows)
message(STATUS "Windows' own DLLs, not shipped: ${windows}")

# Debug symbols are most of a DLL's size and no use to the user.
if(CMAKE_INSTALL_DO_STRIP AND TQ5_STRIP)
    execute_process(COMMAND "${TQ5_STRIP}" --strip-unneeded ${copied} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${TQ5_STRIP} failed on ${copied}")
    endif()
endif()

# Screen readers reach the window through the platform plugin's bridge to UI Automation. The
# plugin names its functions whether it imports them (MSVC) or looks them up (MinGW); a Qt built
# without the bridge ships a window that Narrator and NVDA cannot read.
list(FILTER copied INCLUDE REGEX "/platforms/")
foreach(plugin IN LISTS copied)
    file(STRINGS "${plugin}" bridge REGEX "UiaReturnRawElementProvider")
    if(NOT bridge)
        message(FATAL_ERROR "${plugin} lacks Qt's bridge to UI Automation: use a Qt for Windows "
                            "built with it (with MinGW-w64, its UI Automation headers are needed)")
    endif()
endforeach()
