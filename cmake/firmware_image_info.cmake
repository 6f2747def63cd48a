# The embedded firmware image's identity for the resources: its size and SHA-256, computed when
# CMake configures. The image is a configure dependency, so a changed file re-runs this.
#
# fwt_firmware_image_info(IMAGE) sets, in the caller's scope:
#   FWT_IMAGE_SIZE          size in bytes, decimal
#   FWT_IMAGE_SHA256        the digest as 64 lower-case hex digits
#   FWT_IMAGE_DIGEST_WORDS  the digest's 32 bytes as 16 comma-separated 16-bit words for an RC
#                           RCDATA block (RC stores words low byte first)
#   FWT_VERSION_COMMAS      the project's version as four numbers for VERSIONINFO (1,0,0,0)
function(fwt_firmware_image_info image)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${image}")
    file(SIZE "${image}" size)
    file(SHA256 "${image}" digest)
    string(TOLOWER "${digest}" digest)
    set(words "")
    foreach(i RANGE 0 60 4)
        math(EXPR j "${i} + 2")
        string(SUBSTRING "${digest}" ${i} 2 low)
        string(SUBSTRING "${digest}" ${j} 2 high)
        list(APPEND words "0x${high}${low}")
    endforeach()
    list(JOIN words ", " words)

    set(version "")
    foreach(part MAJOR MINOR PATCH TWEAK)
        if("${PROJECT_VERSION_${part}}" STREQUAL "")
            list(APPEND version 0)
        else()
            list(APPEND version ${PROJECT_VERSION_${part}})
        endif()
    endforeach()
    list(JOIN version "," version)

    set(FWT_IMAGE_SIZE ${size} PARENT_SCOPE)
    set(FWT_IMAGE_SHA256 ${digest} PARENT_SCOPE)
    set(FWT_IMAGE_DIGEST_WORDS "${words}" PARENT_SCOPE)
    set(FWT_VERSION_COMMAS ${version} PARENT_SCOPE)
endfunction()
