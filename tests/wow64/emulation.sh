# Sourced by the WoW64 lane and its benchmark: lets wine64 start 32-bit
# Windows programs on a kernel that cannot run 32-bit Linux programs, by
# handing 32-bit ELF programs (Wine's 32-bit loader) to qemu's user-mode
# emulator through binfmt_misc. The registration is removed again when done:
# while it is in place, every new 64-bit prefix also sets up its slow 32-bit
# side, which the fast suite must never pay for.

emulation_entry=/proc/sys/fs/binfmt_misc/pendreg-i386
emulation_added=0

# Installs qemu-user-static and Debian's 32-bit Wine when missing. Fails when
# they cannot be had.
install_emulation_packages() {
    if [ -x /usr/bin/qemu-i386-static ] && [ -x /usr/lib/wine/wine ]; then
        return 0
    fi
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 || return 1
    apt-get update -q >/dev/null || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        qemu-user-static wine32:i386 >/dev/null || return 1
}

# Registers qemu for 32-bit x86 ELF programs, unless some registration for
# them is there already. F: the interpreter is opened now, so it also works
# inside other mount namespaces.
register_emulation() {
    local root=/proc/sys/fs/binfmt_misc
    if [ ! -e "$root/register" ]; then
        mount -t binfmt_misc binfmt_misc "$root" 2>/dev/null || return 1
    fi
    if grep -qs 'magic 7f454c4601010100000000000000000002000300' "$root"/* 2>/dev/null; then
        return 0
    fi
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':pendreg-i386:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$magic" "$mask" \
        >"$root/register" 2>/dev/null || return 1
    emulation_added=1
}

unregister_emulation() {
    if [ "$emulation_added" = 1 ] && [ -e "$emulation_entry" ]; then
        echo -1 >"$emulation_entry"
    fi
    emulation_added=0
}

# Everything above; prints one line and fails when emulation cannot be had.
set_up_emulation() {
    if ! install_emulation_packages; then
        echo "WoW64 lane skipped: qemu-user-static and wine32:i386 cannot be installed here"
        return 1
    fi
    if ! register_emulation; then
        echo "WoW64 lane skipped: 32-bit programs cannot be registered with binfmt_misc here"
        return 1
    fi
}
