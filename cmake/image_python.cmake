# The Python that reads firmware images: the first of /usr/bin/python3 (Debian's, which sees the
# python3-* packages; a pyenv python3 first on PATH does not), python3 and python that imports
# intelhex and elftools. When none does, the first that runs at all: a raw binary needs neither
# module, and the image check names the module a HEX, S-record or ELF file lacks.
#
# Sets the cache variable FWT_IMAGE_PYTHON.
if(NOT FWT_IMAGE_PYTHON)
    set(fwt_candidates /usr/bin/python3)
    foreach(name python3 python)
        find_program(fwt_found_${name} ${name})
        if(fwt_found_${name})
            list(APPEND fwt_candidates ${fwt_found_${name}})
        endif()
    endforeach()
    set(fwt_fallback "")
    foreach(candidate IN LISTS fwt_candidates)
        if(NOT EXISTS "${candidate}")
            continue()
        endif()
        execute_process(COMMAND "${candidate}" -c "import intelhex, elftools"
                        RESULT_VARIABLE fwt_rc OUTPUT_QUIET ERROR_QUIET)
        if(fwt_rc EQUAL 0)
            set(fwt_chosen "${candidate}")
            break()
        elseif(NOT fwt_fallback)
            set(fwt_fallback "${candidate}")
        endif()
    endforeach()
    if(NOT fwt_chosen)
        if(NOT fwt_fallback)
            message(FATAL_ERROR "No Python found: the firmware image check needs python3")
        endif()
        set(fwt_chosen "${fwt_fallback}")
        message(STATUS "Firmware image reader: ${fwt_chosen} lacks intelhex or elftools "
                       "(Debian: python3-intelhex, python3-pyelftools): raw binaries only")
    endif()
    set(FWT_IMAGE_PYTHON "${fwt_chosen}" CACHE FILEPATH
        "Python that runs tools/check-image.py (with intelhex and elftools for HEX, S-record, ELF)")
endif()
