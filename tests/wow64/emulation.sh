# Sourced by the WoW64 lane and its benchmark. Runs a command inside the
# lane's own Debian root (made by scripts/lane-root.sh, which holds the 64-bit
# and 32-bit Wine and qemu), where wine64 can start 32-bit Windows programs on
# a kernel that cannot run 32-bit Linux programs: 32-bit ELF programs (Wine's
# 32-bit loader) are handed to qemu's user-mode emulator through binfmt_misc.
#
# Nothing of this outlives the command or reaches the host: it runs in a user
# namespace with a mount namespace and a binfmt_misc instance of its own
# (while a registration is in place, every new 64-bit prefix also sets up its
# slow 32-bit side, which the fast suite must not pay for), and the root is
# seen through an overlay whose changes live in memory, so that nothing the
# command does is written into it.

emulation_lib=${BASH_SOURCE[0]}
emulation_repo=$(cd "$(dirname "$emulation_lib")/../.." && pwd)
binfmt=/proc/sys/fs/binfmt_misc

# The root, when it is whole: made to its end, with the programs the lane
# runs. Prints one line and fails when it is not.
check_lane_root() {
    lane_root=$(bash "$emulation_repo/scripts/lane-root.sh" --path)
    local program
    for program in .pendreg-lane-stamp usr/bin/qemu-i386-static usr/lib/wine/wine usr/lib/wine/wine64; do
        [ -e "$lane_root/$program" ] && continue
        emulation_skipped="the lane's root $lane_root is not made (no /$program); make it with: bash scripts/setup.sh --lane (as root)"
        echo "WoW64 lane skipped: $emulation_skipped"
        return 1
    done
}

# Registers the root's qemu for 32-bit x86 ELF programs. F: the interpreter is
# opened now, from the host's side, so it serves inside the root too.
register_qemu() {
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':pendreg-i386:M::%s:%s:%s:F\n' "$magic" "$mask" "$lane_root/usr/bin/qemu-i386-static" \
        >"$binfmt/register"
}

# Binds a host folder into the new top at the same path, unless a folder
# bound already holds it.
bind_tree() {
    local tree=$1 bound
    for bound in "${bound_trees[@]}"; do
        case "$tree/" in "$bound/"*) return 0 ;; esac
    done
    mkdir -p "$top$tree" && mount --rbind "$tree" "$top$tree" || return 1
    bound_trees+=("$tree")
}

# Inside the private namespaces: the root under a writable overlay in memory,
# the host's /proc, /dev and /sys, a /tmp of its own, the repository and the
# folders the command names at their own paths; then the command, in the
# same current folder. 78: the namespace cannot be set up here.
run_in_lane_root() {
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || exit 78
    register_qemu || exit 78
    local scratch
    scratch=$(mktemp -d) && mount -t tmpfs tmpfs "$scratch" || exit 78
    mkdir "$scratch/upper" "$scratch/work" "$scratch/top"
    top=$scratch/top
    mount -t overlay overlay -o "lowerdir=$lane_root,upperdir=$scratch/upper,workdir=$scratch/work" \
        "$top" || exit 78
    local system
    for system in proc dev sys; do
        mount --rbind "/$system" "$top/$system" || exit 78
    done
    mount -t tmpfs tmpfs "$top/tmp" || exit 78
    bound_trees=()
    bind_tree "$emulation_repo" || exit 78
    # The prefix made with the root, which the lane's new prefixes copy.
    if [ -f "$lane_root-prefix/.pendreg-prefix-stamp" ]; then
        bind_tree "$lane_root-prefix" || exit 78
        export PENDREG_WINE_TEMPLATE=$lane_root-prefix
    fi
    local argument
    for argument in "$@"; do
        case "$argument" in /*) ;; *) continue ;; esac
        [ -d "$argument" ] || argument=$(dirname "$argument")
        [ -d "$argument" ] && { bind_tree "$argument" || exit 78; }
    done
    exec chroot "$top" /bin/bash -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$PWD" "$@"
}

# Runs the command inside the lane's root, with 32-bit programs emulated. 77,
# with one line said and the reason in emulation_skipped, when that cannot be
# had here.
with_emulation() {
    check_lane_root || return 77
    unshare --user --map-root-user --mount --propagation private \
        bash -c 'source "$0" && lane_root=$1 && shift && run_in_lane_root "$@"' \
        "$emulation_lib" "$lane_root" "$@"
    local status=$?
    if [ $status -eq 78 ]; then
        emulation_skipped="the lane's namespaces (user, mount, binfmt_misc, overlay) cannot be set up here"
        echo "WoW64 lane skipped: $emulation_skipped"
        return 77
    fi
    return $status
}

# Runs the calling script again inside the lane's root, unless it runs there
# already, and ends with its exit code. Where the lane must run
# (PENDREG_WOW64_REQUIRED, as scripts/test-all.sh sets it), a skip is a failure.
enter_lane() {
    [ -n "${PENDREG_EMULATED:-}" ] && return 0
    export PENDREG_EMULATED=1
    with_emulation "$@"
    local status=$?
    if [ $status -eq 77 ] && [ -n "${PENDREG_WOW64_REQUIRED:-}" ]; then
        echo "FAIL the WoW64 lane is required here (PENDREG_WOW64_REQUIRED) and did not run: ${emulation_skipped:-see above}"
        exit 1
    fi
    exit $status
}
