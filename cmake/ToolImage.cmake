# How code for the tool image is compiled and linked. The image has no C
# run-time library and no start-up code; every consequence of that is handled
# here, once.

set(PENDREG_TOOL_COMPILE_OPTIONS
    -Os
    -Wall -Wextra -Werror
    # No C++ run-time support exists in the image.
    -fno-exceptions -fno-rtti
    # No unwinding ever happens, so no unwind tables (.eh_frame, .pdata).
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    # Stops GCC turning byte loops into calls to memset/memcpy/memmove; the
    # struct zeroing it may still emit as calls is served by
    # main/CompilerSupport.cpp.
    -fno-tree-loop-distribute-patterns
    # The stack protector needs run-time library support.
    -fno-stack-protector
    # Lets --gc-sections drop unused code; no compiler banner in .rdata. (No
    # -fdata-sections: the linker script would then file zeroed data under
    # .data, taking room in the file.)
    -ffunction-sections -fno-ident
    # Reproducible bytes: no build folder recorded anywhere.
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)

# The entry point is ToolMain itself; on i686 its stdcall name is decorated.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(PENDREG_ENTRY_SYMBOL _ToolMain@0)
else()
    set(PENDREG_ENTRY_SYMBOL ToolMain)
endif()

set(PENDREG_TOOL_LINK_OPTIONS
    # No run-time library and no start-up code; the entry point is named.
    -nostdlib -nostartfiles -Wl,-e,${PENDREG_ENTRY_SYMBOL}
    # A misspelt entry name is only a warning, and the image would start at
    # the wrong place.
    -Wl,--fatal-warnings
    # A GUI-subsystem image: no console for the tool or its children.
    -Wl,--subsystem,windows
    # ASLR and DEP; DYNAMIC_BASE needs the .reloc section, which is kept.
    -Wl,--dynamicbase -Wl,--nxcompat
    # Reproducible bytes: no time stamp in the header.
    -Wl,--no-insert-timestamp
    -Wl,--gc-sections -s)

# The only libraries the image may import from, plus libgcc for the stack
# probe (___chkstk_ms) that frames over 4 KiB need; libgcc is static and adds
# no import.
set(PENDREG_TOOL_LIBRARIES kernel32 advapi32 user32 ole32 oleaut32 gcc)

# Applies the tool's compile options to a target whose code ends up in the
# image (the subsystem libraries and the image itself).
function(pendreg_tool_code target)
    target_compile_options(${target} PRIVATE ${PENDREG_TOOL_COMPILE_OPTIONS})
    target_compile_features(${target} PRIVATE cxx_std_17)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
