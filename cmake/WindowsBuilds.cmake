# Builds, as part of the native build, the Windows programs that the native tests run: the
# product (win32 preset, build/win32), two more win32 copies of fwt.exe that embed other images
# through FWT_FIRMWARE_IMAGE: three blocks (build/win32-small) and an empty one
# (build/win32-noimage), and the win64 preset (build/win64: the x86_64 fwt.exe as a compile check,
# the UI driver and the probes, which run under wine64 without emulation).
#
# Each is a sub-build of this source tree configured by `cmake --preset`, so build/win32 and
# build/win64 are exactly the trees `cmake --preset win32 && cmake --build --preset win32` (and
# win64) make. Their make runs on every build (BUILD_ALWAYS), so edits in the sources are picked
# up, and through $(MAKE), so it shares the jobserver and the build preset's job count holds for
# all of them together.
include(ExternalProject)

set(fwt_build_root ${PROJECT_SOURCE_DIR}/build)
set(fwt_images ${fwt_build_root}/test-images)

# The three-block image is 2600 bytes, so that the last block is padded; the empty image is one
# the tool must refuse at start-up, so its build embeds it past the configure-time image checks
# (FWT_IMAGE_CHECKS=OFF), which would refuse it first.
add_custom_command(
    OUTPUT ${fwt_images}/three-blocks.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${fwt_images}
    COMMAND bash ${PROJECT_SOURCE_DIR}/resources/make-placeholder-image.sh 2600
            ${fwt_images}/three-blocks.bin
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/make-placeholder-image.sh
    COMMENT "Writing the three-block test image")
add_custom_command(
    OUTPUT ${fwt_images}/empty.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${fwt_images}
    COMMAND ${CMAKE_COMMAND} -E touch ${fwt_images}/empty.bin
    COMMENT "Writing the empty test image")
add_custom_target(fwt_test_images ALL DEPENDS ${fwt_images}/three-blocks.bin
                                              ${fwt_images}/empty.bin)

if(CMAKE_GENERATOR MATCHES "Make")
    set(fwt_make "$(MAKE)")
else()
    set(fwt_make ${CMAKE_COMMAND} --build .)
endif()

# fwt_windows_build(NAME PRESET BINARY_DIR [TARGET target] [CACHE -Dvar=value...]
#                   [DEPENDS target...])
# The stamps live in the sub-build's own tree: removing that tree makes the next build configure
# it afresh. A change to CMakePresets.json configures it again, so that it keeps following the
# preset.
function(fwt_windows_build name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "PRESET;BINARY_DIR;TARGET" "CACHE;DEPENDS")
    ExternalProject_Add(${name}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${arg_BINARY_DIR}
        PREFIX ${CMAKE_BINARY_DIR}/windows/${name}
        STAMP_DIR ${arg_BINARY_DIR}/native-build-stamps
        CONFIGURE_COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} --preset ${arg_PRESET}
                          -B ${arg_BINARY_DIR} ${arg_CACHE}
        BUILD_COMMAND ${fwt_make} ${arg_TARGET}
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        DEPENDS ${arg_DEPENDS})
    ExternalProject_Add_Step(${name} presets
        COMMENT "Following CMakePresets.json in ${arg_BINARY_DIR}"
        DEPENDS ${PROJECT_SOURCE_DIR}/CMakePresets.json
        DEPENDEES mkdir
        DEPENDERS configure)
endfunction()

fwt_windows_build(fwt_win32 PRESET win32 BINARY_DIR ${fwt_build_root}/win32)
fwt_windows_build(fwt_win64 PRESET win64 BINARY_DIR ${fwt_build_root}/win64)
fwt_windows_build(fwt_win32_small PRESET win32 BINARY_DIR ${fwt_build_root}/win32-small
    TARGET fwt
    CACHE -DFWT_FIRMWARE_IMAGE=${fwt_images}/three-blocks.bin
    DEPENDS fwt_test_images)
fwt_windows_build(fwt_win32_noimage PRESET win32 BINARY_DIR ${fwt_build_root}/win32-noimage
    TARGET fwt
    CACHE -DFWT_FIRMWARE_IMAGE=${fwt_images}/empty.bin -DFWT_IMAGE_CHECKS=OFF
    DEPENDS fwt_test_images)
