# The schedule's page is one file that a browser opens from disk with nothing beside it, so its
# style and its script must be inside it. They are kept here as files of their own (page.html
# names them, so the template opens as it is from this folder) and joined into one page when
# the build is configured: interleave holds that page, and fills it with a schedule.
function(interleave_page output)
    set(folder ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    file(READ ${folder}/page.html page)
    foreach(part IN ITEMS "page.css;<link rel=\"stylesheet\" href=\"page.css\">;style"
                          "page.js;<script src=\"page.js\"></script>;script")
        list(GET part 0 name)
        list(GET part 1 tag)
        list(GET part 2 element)
        string(FIND "${page}" "${tag}" first)
        string(FIND "${page}" "${tag}" last REVERSE)
        if(first EQUAL -1 OR NOT first EQUAL last)
            message(FATAL_ERROR "page.html must name ${name} once, as ${tag}")
        endif()
        file(READ ${folder}/${name} text)
        # Inside the element, its own end tag would end it early.
        string(TOLOWER "${text}" lower)
        string(FIND "${lower}" "</${element}" early)
        if(NOT early EQUAL -1)
            message(FATAL_ERROR "${name} holds </${element}, which would end it in the page")
        endif()
        string(REPLACE "${tag}" "<${element}>\n${text}</${element}>" page "${page}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${folder}/${name})
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${folder}/page.html)
    # Written only when it changes, so that a configure alone rebuilds nothing.
    set(before "")
    if(EXISTS ${output})
        file(READ ${output} before)
    endif()
    if(NOT before STREQUAL page)
        file(WRITE ${output} "${page}")
    endif()
endfunction()
