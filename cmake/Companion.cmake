# How the companions (pendreg-inspect, pendreg-record) and the checks they
# share are compiled and linked. Installers carry the recorder inside their
# own packages, so both are kept small: they keep the C run-time library and
# the standard containers, but none of the C++ run-time's exception support,
# which would otherwise be most of each image. Every consequence of that is
# handled here and in runtime/CompanionRuntime.cpp, once.

set(PENDREG_COMPANION_COMPILE_OPTIONS
    # Size before speed, even where -Os would take the faster code.
    -Oz
    -Wall -Wextra -Werror
    # Nothing throws or catches, and nothing asks a type at run time: no
    # exception tables or type information to carry.
    -fno-exceptions -fno-rtti
    # Each companion runs one thread, so a function's static needs no lock
    # (the lock would bring a threads library).
    -fno-threadsafe-statics
    # Lets --gc-sections drop what no code reaches; no compiler banner.
    -ffunction-sections -fdata-sections -fno-ident
    # Reproducible bytes: no build folder recorded anywhere.
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    # Each companion is optimized as a whole when it is linked, across the
    # files of the checks and its own: together with -Oz this took 14 KB off
    # the 32-bit inspector and 16 KB off the recorder.
    -flto
    # A function with one caller stays a call: measured, inlining those made
    # each companion about 1 KB larger.
    -fno-inline-functions-called-once)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # On i686 the unwind tables (.eh_frame) serve only exceptions, which never
    # happen. (On x86_64 Windows itself walks them to dispatch a crash: kept.)
    list(APPEND PENDREG_COMPANION_COMPILE_OPTIONS -fno-asynchronous-unwind-tables
         -fno-unwind-tables)
    # Windows promises a 32-bit thread only 4-byte stack alignment, and no
    # code here uses the SSE types that would need more: keeping every frame
    # 16-byte aligned was code for nothing.
    list(APPEND PENDREG_COMPANION_COMPILE_OPTIONS -mpreferred-stack-boundary=2)
endif()

# What every link of the companions' code needs, the companions' own and the
# test program's alike, since the code is compiled for the link (-flto).
set(PENDREG_COMPANION_CODE_LINK_OPTIONS
    -flto -Oz
    # The whole program in one piece: GCC 12 for MinGW stops with an internal
    # error (in binds_to_current_def_p) when it splits a program into pieces
    # to optimize apart, and a companion is small enough to take in one.
    -flto-partition=none)

# Installers embed the recorder, so each 32-bit companion aims at 96 KB
# (bench/image-size.sh shows how far each is from it). What still stands
# above it is the companions' own code and messages, chiefly the checks of
# where the loader looks and of who may change what the pass runs, not the
# run-time. The release check fails when one grows past the ceiling below,
# a little above today's recorder, so that a large piece of the run-time, or
# a large change of ours, cannot come in unnoticed. Raised by 16 KB (from
# 112 KB) for what installers' engines need and for where the pass can reach:
# the undo verbs, the repair's duplicate check and the log took the 32-bit
# recorder from 110,592 to 120,832 bytes, the lock file, the logon judged as
# a whole and the checks of path lengths and drives to 128,000. (A call of
# sscanf alone brought 40 KB of the run-time's scanner: entry numbers are
# read with strtoul.) Raised again by 48 KB (from 128 KB) for the products'
# record and the undo by identity, unregistration in a process of its own,
# the install and uninstall verbs, and the catalogue of every finding's code
# and words with the JSON documents: the 32-bit recorder went from 128,000
# to 171,008 bytes, the inspector to 137,728. (A std::function brought the
# run-time's whole exception machinery, about 150 KB, until its one thrower
# was defined in runtime/CompanionRuntime.cpp.)
set(PENDREG_COMPANION_SIZE_GOAL 98304)
set(PENDREG_COMPANION_SIZE_LIMIT 180224)

set(PENDREG_COMPANION_LINK_OPTIONS
    # One file to ship beside the tool, with no MinGW run-time DLLs.
    -static
    # Drops the sections that no code reaches, then the symbols.
    -Wl,--gc-sections -s
    # Reproducible bytes: no time stamp in the header.
    -Wl,--no-insert-timestamp)

# Applies the companions' compile options to code that ends up in a companion
# (the shared checks and each companion's own sources).
function(pendreg_companion_code target)
    target_compile_options(${target} PRIVATE ${PENDREG_COMPANION_COMPILE_OPTIONS})
    target_link_options(${target} PUBLIC ${PENDREG_COMPANION_CODE_LINK_OPTIONS})
    target_compile_features(${target} PRIVATE cxx_std_17)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# Makes a companion program of target: its code compiled as above, linked
# small, with the companions' run-time support (allocation and the standard
# library's error paths end the process instead of throwing), and written
# beside the tool image.
function(pendreg_companion_program target)
    pendreg_companion_code(${target})
    target_link_options(${target} PRIVATE ${PENDREG_COMPANION_LINK_OPTIONS})
    # The map says which object each byte of the image comes from.
    target_link_options(${target} PRIVATE -Wl,-Map,${CMAKE_BINARY_DIR}/${target}.map)
    target_link_libraries(${target} PRIVATE pendreg_companion_runtime)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()
