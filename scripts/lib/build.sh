# Sourced by the scripts in scripts/: the one way they install what is missing,
# configure and build a preset, and print their help. Run from the source root.
#
#   orvane_deps                    scripts/deps, once per script; its status
#   orvane_build PRESET [TARGET...]
#                                  orvane_deps, then PRESET configured (its
#                                  output hidden) and the targets built (all
#                                  without any) in $orvane_build_dir; the
#                                  failing command's status
#   orvane_help SCRIPT             the script's opening comment block, whole
#
# ORVANE_BUILD_DIR: a build folder to use instead of the preset's; configured
# with the preset's settings when it holds no configuration yet, and built for
# the targets asked for. ORVANE_JOBS: the build's parallel jobs (default: the
# machine's cores).

ORVANE_JOBS=${ORVANE_JOBS:-$(nproc)}
orvane_build_dir=""
orvane_deps_done=0

orvane_deps() {
    [ "$orvane_deps_done" -eq 1 ] && return 0
    scripts/deps || return
    orvane_deps_done=1
}

orvane_build() {
    local preset=$1
    shift
    orvane_deps || return
    if [ -n "${ORVANE_BUILD_DIR:-}" ]; then
        mkdir -p "$ORVANE_BUILD_DIR" || return
        orvane_build_dir=$(cd "$ORVANE_BUILD_DIR" && pwd) || return
        if [ ! -f "$orvane_build_dir/CMakeCache.txt" ]; then
            cmake --preset "$preset" -B "$orvane_build_dir" >/dev/null || return
        fi
    else
        orvane_build_dir=$PWD/build/$preset  # every preset's binaryDir
        cmake --preset "$preset" >/dev/null || return
    fi
    if [ $# -gt 0 ]; then
        cmake --build "$orvane_build_dir" -j "$ORVANE_JOBS" --target "$@"
    else
        cmake --build "$orvane_build_dir" -j "$ORVANE_JOBS"
    fi
}

orvane_help() {
    awk 'NR == 1 { next } /^#/ { print; next } { exit }' "$1"
}
