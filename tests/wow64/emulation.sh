# Sourced by the WoW64 lane and its benchmark. Lets wine64 start 32-bit
# Windows programs on a kernel that cannot run 32-bit Linux programs, by
# handing 32-bit ELF programs (Wine's 32-bit loader) to qemu's user-mode
# emulator through binfmt_misc.
#
# The registration must never outlive the lane: while it is in place, every
# new 64-bit prefix also sets up its slow 32-bit side, which the fast suite
# must not pay for. So the lane runs in a user namespace with a binfmt_misc
# instance of its own, which nobody else sees and which goes with it; on a
# kernel without such instances, a machine-wide registration is made and
# removed afterwards.

emulation_lib=${BASH_SOURCE[0]}
binfmt=/proc/sys/fs/binfmt_misc

# The packages the lane runs on, installed by scripts/setup.sh --lane and
# never from here: a test must leave the machine as it found it. Prints one
# line naming those missing, and fails, when any is.
check_emulation_packages() {
    local missing=()
    [ -x /usr/bin/qemu-i386-static ] || missing+=(qemu-user-static)
    [ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
    [ ${#missing[@]} -eq 0 ] && return 0
    emulation_skipped="${missing[*]} not installed; install with: bash scripts/setup.sh --lane (as root)"
    echo "WoW64 lane skipped: $emulation_skipped"
    return 1
}

# Registers qemu for 32-bit x86 ELF programs under the given name. F: the
# interpreter is opened now, so it works whatever the caller's mounts.
register_qemu() {
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':%s:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$1" "$magic" "$mask" >"$binfmt/register"
}

# Inside the private namespace: a binfmt_misc instance of its own, then the
# command. 78: this kernel has no private instances.
run_in_private_binfmt() {
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || exit 78
    register_qemu pendreg-i386 || exit 78
    exec "$@"
}

# The fallback: a machine-wide registration for the command's lifetime.
run_with_global_binfmt() {
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || return 77
    register_qemu pendreg-i386 2>/dev/null || return 77
    "$@"
    local status=$?
    echo -1 >"$binfmt/pendreg-i386"
    return $status
}

# Runs the command with 32-bit programs emulated. 77, with one line said and
# the reason in emulation_skipped, when emulation cannot be had here.
with_emulation() {
    check_emulation_packages || return 77
    unshare --user --map-root-user --mount --propagation private \
        bash -c 'source "$0" && run_in_private_binfmt "$@"' "$emulation_lib" "$@"
    local status=$?
    [ $status -ne 78 ] && return $status
    run_with_global_binfmt "$@"
    status=$?
    if [ $status -eq 77 ]; then
        emulation_skipped="32-bit programs cannot be registered with binfmt_misc here"
        echo "WoW64 lane skipped: $emulation_skipped"
    fi
    return $status
}
