# Makes the release zip from a built image (cmake -P, run by the release
# target of cmake/Release.cmake). Every figure about the image in the user
# document is read from the image here, so the document cannot drift from the
# bytes it ships with.
#
# Input: IMAGE, INSPECTOR, RECORDER, MAP, OBJDUMP, ZIP (the zip program), TEMPLATE, GUIDE (the
# installer's guide, which the template takes in), WXI (the Windows Installer include), VERSION, STAGE (an empty folder is made there),
# OUTPUT (the zip to write).

# Every entry of the zip gets this time: 2000-01-01 00:00:00 UTC.
set(FIXED_TIME 946684800)

function(fail message)
    message(FATAL_ERROR "release: ${message}")
endfunction()

# Runs a command and fails the release when it does; its output lands in the
# variable named by out_var.
function(run out_var)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
        fail("${ARGN} failed (${result}): ${errors}")
    endif()
    set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

# The rest of the "Key<tabs>value" line of objdump -p that starts with key.
function(header_field headers key out_var)
    if(NOT headers MATCHES "\n${key}[ \t]+([^\n]*)")
        fail("no ${key} in the headers of ${IMAGE}")
    endif()
    set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# Appends words to text as lines of at most 76 characters; the first line
# starts with first, the others with indent.
function(wrap_words out_var first indent)
    set(text "")
    set(line "${first}")
    set(separator " ")
    foreach(word IN LISTS ARGN)
        string(LENGTH "${line}${separator}${word}" length)
        if(length GREATER 76 AND NOT line STREQUAL indent)
            string(APPEND text "${line}\n")
            set(line "${indent}")
            set(separator "")
        endif()
        string(APPEND line "${separator}${word}")
        set(separator " ")
    endforeach()
    set(${out_var} "${text}${line}" PARENT_SCOPE)
endfunction()

foreach(input IMAGE INSPECTOR RECORDER MAP OBJDUMP ZIP TEMPLATE GUIDE WXI VERSION STAGE OUTPUT)
    if("${${input}}" STREQUAL "")
        fail("${input} not given")
    endif()
endforeach()
if(NOT ZIP OR ZIP MATCHES "NOTFOUND$")
    fail("the zip program is missing (scripts/setup.sh installs it)")
endif()

run(headers ${OBJDUMP} -p ${IMAGE})

# The figures of the document, one variable each for the template.
file(SIZE ${IMAGE} IMAGE_SIZE)

if(NOT headers MATCHES "file format ([^\n]+)")
    fail("${IMAGE} is not an image objdump reads")
endif()
set(format "${CMAKE_MATCH_1}")
header_field("${headers}" Magic magic)
string(REGEX REPLACE "^[0-9a-f]+[ \t]+\\((.*)\\)$" "\\1 (${format})" IMAGE_FORMAT "${magic}")

header_field("${headers}" Subsystem subsystem)
string(REGEX REPLACE "^0*([0-9a-f]+)[ \t]+" "\\1 " IMAGE_SUBSYSTEM "${subsystem}")

# objdump names each flag on a line of its own below the value.
if(NOT headers MATCHES "\nDllCharacteristics[ \t]+([0-9a-f]+)\n((\t+[A-Z_]+\n)*)")
    fail("no DllCharacteristics in the headers of ${IMAGE}")
endif()
set(characteristics "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[A-Z_]+" flag_names "${CMAKE_MATCH_2}")
list(JOIN flag_names " " flag_names)
set(IMAGE_FLAGS "0x${characteristics} ${flag_names}")

header_field("${headers}" AddressOfEntryPoint entry_rva)
header_field("${headers}" ImageBase image_base)
# The map names what lies at the entry address; the image itself is stripped.
math(EXPR entry_address "0x${image_base} + 0x${entry_rva}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" entry_hex "${entry_address}")
string(LENGTH "${entry_hex}" entry_digits)
math(EXPR padding "8 - ${entry_digits}")
string(REPEAT "0" ${padding} zeros)
file(READ ${MAP} map)
if(NOT map MATCHES "\n +0x${zeros}${entry_hex} +_?([A-Za-z_][A-Za-z0-9_]*)(@[0-9]+)?\n")
    fail("no symbol at the entry address 0x${entry_hex} in ${MAP}")
endif()
set(IMAGE_ENTRY "RVA 0x${entry_rva} (${CMAKE_MATCH_1})")

# A zero resource directory means no resources and so no manifest either.
if(headers MATCHES "\nEntry 2 0+ 0+ Resource Directory")
    set(IMAGE_RESOURCES "none, so no manifest either")
else()
    set(IMAGE_RESOURCES "present")
endif()

# One block per DLL: its "DLL Name:" line, then a line per imported name,
# then a blank line.
string(REGEX MATCHALL "DLL Name: [^\n]+\n[^\n]*\n(\t[^\n]+\n)*" dll_blocks "${headers}")
if(dll_blocks STREQUAL "")
    fail("no import table in ${IMAGE}")
endif()
set(IMAGE_IMPORTS "")
foreach(block IN LISTS dll_blocks)
    string(REGEX MATCH "DLL Name: ([^\n]+)" dll "${block}")
    set(dll "${CMAKE_MATCH_1}")
    string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+ +[^\n]+" rows "${block}")
    set(functions "")
    foreach(row IN LISTS rows)
        string(REGEX REPLACE "^\n\t[0-9a-f]+\t +[0-9]+ +" "" name "${row}")
        list(APPEND functions "${name}")
    endforeach()
    if(functions STREQUAL "")
        fail("no imported names read for ${dll}")
    endif()
    wrap_words(line "    ${dll}:" "      " ${functions})
    string(APPEND IMAGE_IMPORTS "${line}\n")
endforeach()
string(REGEX REPLACE "\n$" "" IMAGE_IMPORTS "${IMAGE_IMPORTS}")

# The staged files: their names, modes and times are all that may differ
# between two builds besides the bytes, so all three are fixed.
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
set(PENDREG_VERSION ${VERSION})
# A Windows user's document: CR LF throughout, in the figures' own lines too,
# which configure_file's NEWLINE_STYLE leaves as they are.
file(READ ${TEMPLATE} template)
string(CONFIGURE "${template}" document @ONLY)
# The guide goes in after the figures, so that nothing in it is taken for one.
file(READ ${GUIDE} guide)
string(REPLACE "{{installer-guide}}" "${guide}" document "${document}")
string(REPLACE "\r\n" "\n" document "${document}")
string(REPLACE "\n" "\r\n" document "${document}")
file(WRITE ${STAGE}/README.txt "${document}")
file(COPY_FILE ${IMAGE} ${STAGE}/pendreg.exe)
file(COPY_FILE ${INSPECTOR} ${STAGE}/pendreg-inspect.exe)
file(COPY_FILE ${RECORDER} ${STAGE}/pendreg-record.exe)
# An author's build reads it as it is; its line ends are left alone.
file(COPY_FILE ${WXI} ${STAGE}/pendreg.wxi)
set(sums "")
foreach(name pendreg.exe pendreg-inspect.exe pendreg-record.exe pendreg.wxi README.txt)
    file(SHA256 ${STAGE}/${name} sum)
    string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${STAGE}/SHA256SUMS "${sums}")
set(members pendreg.exe pendreg-inspect.exe pendreg-record.exe pendreg.wxi README.txt SHA256SUMS)
run(ignored chmod 0644 ${members} WORKING_DIRECTORY ${STAGE})
run(ignored touch -d @${FIXED_TIME} ${members} WORKING_DIRECTORY ${STAGE})

# zip adds to an existing archive, so the old one goes first. -X leaves out
# owners and the extra time fields; what is left is the DOS time, which is
# local time, hence TZ.
# The files lie in one top folder, the stage's own name, so that unpacking
# the zip beside others makes one folder, not six loose files.
file(REMOVE ${OUTPUT})
get_filename_component(top ${STAGE} NAME)
get_filename_component(stage_parent ${STAGE} DIRECTORY)
list(TRANSFORM members PREPEND "${top}/" OUTPUT_VARIABLE entries)
run(ignored ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -q ${OUTPUT} ${entries}
    WORKING_DIRECTORY ${stage_parent})

# The zip is reproducible too, so its own sum is worth publishing beside it.
file(SHA256 ${OUTPUT} zip_sum)
get_filename_component(zip_name ${OUTPUT} NAME)
file(WRITE ${OUTPUT}.sha256 "${zip_sum}  ${zip_name}\n")
message(STATUS "release: ${OUTPUT}")
