# The release: the 32-bit image, the inspector and the recorder beside it, the
# user document, the Windows Installer include and SHA256SUMS in one zip.
# Installer authors embed the image and must be able to check which bytes
# they ship, so two builds of one commit give the same image and the same zip,
# whichever folders they ran in and whenever they ran:
#   cmake --build --preset i686 --target release
# writes build/i686/release/pendreg-<version>.zip and its .sha256 beside it.
# Included before the subsystem folders, whose archives follow the rules set
# here.

# Archives with zero time stamps and owners whatever the binutils
# default is: a time stamp in an archive would make it differ from build to
# build even when the image does not.
foreach(language C CXX)
    set(CMAKE_${language}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${language}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${language}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

# Raised by hand for each release; the zip's name, the document and the
# companions' --version (companion/CMakeLists.txt) carry it.
set(PENDREG_VERSION 0.1.0)

# Only the 32-bit image is shipped.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
endif()

# Not required at configure time: only the release needs it.
find_program(PENDREG_ZIP zip)

set(PENDREG_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(PENDREG_RELEASE_ZIP ${PENDREG_RELEASE_DIR}/pendreg-${PENDREG_VERSION}.zip)
set(PENDREG_RELEASE_TEMPLATE ${PROJECT_SOURCE_DIR}/docs/release-readme.txt.in)
set(PENDREG_RELEASE_GUIDE ${PROJECT_SOURCE_DIR}/docs/installer-guide.md)
set(PENDREG_RELEASE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/ReleasePackage.cmake)
set(PENDREG_RELEASE_WXI ${PROJECT_SOURCE_DIR}/docs/pendreg.wxi)

add_custom_command(
    OUTPUT ${PENDREG_RELEASE_ZIP} ${PENDREG_RELEASE_ZIP}.sha256
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:pendreg>
            -DINSPECTOR=$<TARGET_FILE:pendreg-inspect> -DRECORDER=$<TARGET_FILE:pendreg-record>
            -DMAP=${CMAKE_BINARY_DIR}/pendreg.map
            -DOBJDUMP=${PENDREG_OBJDUMP} -DZIP=${PENDREG_ZIP}
            -DTEMPLATE=${PENDREG_RELEASE_TEMPLATE} -DGUIDE=${PENDREG_RELEASE_GUIDE}
            -DWXI=${PENDREG_RELEASE_WXI}
            -DVERSION=${PENDREG_VERSION}
            -DSTAGE=${PENDREG_RELEASE_DIR}/pendreg-${PENDREG_VERSION}
            -DOUTPUT=${PENDREG_RELEASE_ZIP} -P ${PENDREG_RELEASE_SCRIPT}
    DEPENDS pendreg pendreg-inspect pendreg-record ${PENDREG_RELEASE_TEMPLATE} ${PENDREG_RELEASE_GUIDE}
            ${PENDREG_RELEASE_WXI} ${PENDREG_RELEASE_SCRIPT}
    COMMENT "Packing ${PENDREG_RELEASE_ZIP}"
    VERBATIM)
add_custom_target(release DEPENDS ${PENDREG_RELEASE_ZIP})

# The toolchain file as a path inside the sources, so the reproducibility test
# can build a copy of the sources with the copy's own toolchain file.
file(RELATIVE_PATH PENDREG_TOOLCHAIN_IN_SOURCES ${PROJECT_SOURCE_DIR} ${CMAKE_TOOLCHAIN_FILE})

add_test(NAME release_reproducible
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/reproducible.sh ${CMAKE_COMMAND}
                 ${PROJECT_SOURCE_DIR} ${PENDREG_TOOLCHAIN_IN_SOURCES} ${CMAKE_BUILD_TYPE}
                 ${CMAKE_BINARY_DIR}/release-test)
add_test(NAME release_package
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/check-release.sh ${CMAKE_COMMAND}
                 ${CMAKE_BINARY_DIR} ${PENDREG_RELEASE_ZIP} $<TARGET_FILE:pendreg>
                 ${PENDREG_OBJDUMP} $<TARGET_FILE:pendreg-inspect> $<TARGET_FILE:pendreg-record>
                 ${PENDREG_COMPANION_SIZE_LIMIT})
set_tests_properties(release_reproducible release_package PROPERTIES LABELS release TIMEOUT 300)
