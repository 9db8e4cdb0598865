# Run by an install, and by the uninstall, in the install script's own process: an install
# records what it put where, and the uninstall takes exactly that out again.
#
# The record of each place lives in the build tree, one file a place: the place is the
# prefix under DESTDIR, as the install saw it. A line "file PATH" is a file that the last
# install there copied; "folder PATH" a folder that some install there made. The package
# workflow installs into CPack's own staging folder and leaves no record, so it cannot
# overwrite that of a real place.

# The install script runs with no policies of its own; these functions want today's.
cmake_policy(VERSION 3.25)

# The place an install goes to: DESTDIR, then the prefix.
function(glassbox_place out)
    set(place "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    cmake_path(NORMAL_PATH place)
    string(REGEX REPLACE "(.)/$" "\\1" place "${place}")
    set(${out} "${place}" PARENT_SCOPE)
endfunction()

# The record of a place, in the folder `records`.
function(glassbox_record_of place records out)
    string(MD5 key "${place}")
    set(${out} "${records}/${key}" PARENT_SCOPE)
endfunction()

# Before the first file is copied: notes which folders do not exist yet among the install's
# destinations, given relative to the prefix, and their parents.
function(glassbox_install_begin destinations)
    glassbox_place(place)
    set(absent)
    foreach(destination IN LISTS destinations)
        set(folder "${place}/${destination}")
        cmake_path(NORMAL_PATH folder)
        while(NOT IS_DIRECTORY "${folder}" AND NOT folder IN_LIST absent)
            list(APPEND absent "${folder}")
            cmake_path(GET folder PARENT_PATH folder)
        endwhile()
    endforeach()
    set_property(GLOBAL PROPERTY glassbox_absent_folders "${absent}")
endfunction()

# After the last file: writes the record of the place, with every file this install copied
# and the folders it made, and those that earlier installs there made and that are still
# there. Under CPack's staging folder there is nothing to record.
function(glassbox_install_end records)
    glassbox_place(place)
    if(place MATCHES "/_CPack_Packages/")
        return()
    endif()
    glassbox_record_of("${place}" "${records}" record)
    set(lines "place ${place}")
    foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
        list(APPEND lines "file $ENV{DESTDIR}${file}")
    endforeach()
    get_property(absent GLOBAL PROPERTY glassbox_absent_folders)
    set(made)
    foreach(folder IN LISTS absent)
        if(IS_DIRECTORY "${folder}")
            list(APPEND made "${folder}")
        endif()
    endforeach()
    if(EXISTS "${record}")
        file(STRINGS "${record}" earlier REGEX "^folder ")
        foreach(line IN LISTS earlier)
            string(SUBSTRING "${line}" 7 -1 folder)
            if(IS_DIRECTORY "${folder}" AND NOT folder IN_LIST made)
                list(APPEND made "${folder}")
            endif()
        endforeach()
    endif()
    foreach(folder IN LISTS made)
        list(APPEND lines "folder ${folder}")
    endforeach()
    list(JOIN lines "\n" text)
    file(WRITE "${record}" "${text}\n")
endfunction()

# Removes what the last install into the place put there, then the folders that installs
# there made, the deepest first, where they are empty; then the record. A file that cannot
# be removed is named, with the reason, and the record stays for another try.
function(glassbox_uninstall records)
    glassbox_place(place)
    glassbox_record_of("${place}" "${records}" record)
    if(NOT EXISTS "${record}")
        message(FATAL_ERROR "Nothing to uninstall: no install into ${place} is recorded in "
            "this build folder")
    endif()
    file(STRINGS "${record}" lines)
    set(folders)
    set(failures)
    foreach(line IN LISTS lines)
        if(line MATCHES "^file (.*)")
            set(file "${CMAKE_MATCH_1}")
            if(NOT EXISTS "${file}" AND NOT IS_SYMLINK "${file}")
                continue()
            endif()
            message(STATUS "Removing: ${file}")
            execute_process(COMMAND rm -f -- "${file}" ERROR_VARIABLE reason
                ERROR_STRIP_TRAILING_WHITESPACE)
            if(reason)
                list(APPEND failures "${reason}")
            endif()
        elseif(line MATCHES "^folder (.*)")
            list(APPEND folders "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    if(failures)
        list(JOIN failures "\n  " failures)
        message(FATAL_ERROR "Not everything could be removed:\n  ${failures}")
    endif()
    # A folder's parent is a prefix of its path, so the longer paths go first.
    list(SORT folders ORDER DESCENDING)
    foreach(folder IN LISTS folders)
        execute_process(COMMAND rmdir -- "${folder}" RESULT_VARIABLE kept ERROR_QUIET)
        if(kept)
            message(STATUS "Kept, not empty: ${folder}")
        else()
            message(STATUS "Removing: ${folder}/")
        endif()
    endforeach()
    file(REMOVE "${record}")
endfunction()
