# The set-up the Wine suites share (wine/system, wine/page, wine/bench), sourced
# by their run.sh. Each run has its own folder and a fresh prefix in it, so runs
# side by side do not meet; when the run ends its logs stay in <out>/last and
# the prefix goes.
#
#   vk_display <screen> "$0" "$@"  first: runs the script again on a private X display
#   vk_arch win32|win64|wow64      WINEARCH (wow64: win64); $march (i686, x86_64) and $bits ("", 64)
#                                  name the builds, $bin holds the package's binaries
#   vk_build <out> <march> <target>...  the suites' programs (wine/Makefile) in <out>
#   vk_run <out>                   a fresh run folder $run and $WINEPREFIX inside it;
#                                  defines vk_finished to act after the logs moved
#   vk_prefix <log>                boots the prefix, its output in <log>
#   vk_keep_server                 one wineserver for the rest of the run
#   vk_media <folder>              the package as Wine's setupapi installs it
#   vk_step <name> <args>...       one run of the test host $host (see below)
#   win <path>                     the Windows path of a Unix one
wine_dir=$(cd "$(dirname "$0")/.." && pwd)
root=$(cd "$wine_dir/.." && pwd)
dist="${VK_DIST_DIR:-$root/dist}"  # the package under test
started=$(date +%s)

vk_display() {
    screen=$1
    shift
    [ "$VK_DISPLAY_FOR" = "$1" ] && return 0
    VK_DISPLAY_FOR=$1 exec xvfb-run -a -s "-screen 0 $screen" "$@"
}

vk_arch() {
    export WINEARCH=win32
    march=i686 bits="" bin="$dist"
    [ "$1" = win32 ] || WINEARCH=win64 march=x86_64 bits=64 bin="$dist/amd64"
}

vk_build() {
    build_out=$1 build_arch=$2
    shift 2
    mkdir -p "$build_out"
    flock "$build_out/.build.lock" make -s -f "$wine_dir/Makefile" -j"$(nproc)" \
        OUT="$build_out" ARCH="$build_arch" "$@"
}

vk_run() {
    out=$1
    mkdir -p "$out"
    run=$(mktemp -d "$out/run.XXXXXX")
    export WINEPREFIX="$run/prefix"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    failed=""
    trap vk_finish EXIT
}

vk_finish() {
    status=$?
    [ -z "$failed" ] || status=1
    wineserver -k 2>/dev/null || true
    rm -rf "$run/prefix" "$out/last"
    mv "$run" "$out/last" 2>/dev/null || true
    ! command -v vk_finished >/dev/null || vk_finished
    exit $status
}

vk_prefix() {
    wineboot -i >>"$1" 2>&1
    wineserver -w
}

# Every wineserver start rebuilds the driver stacks: one server for the run.
vk_keep_server() {
    wineserver -p
}

# Wine's setupapi copies files from the undecorated [SourceDisksNames] only,
# where Windows takes [SourceDisksNames.amd64] (amd64\): the INF goes beside
# the binaries of the prefix's architecture, with the catalog it names
# (staging adds it, as on Windows). A copy, too: a package rebuilt meanwhile
# does not change under the run.
vk_media() {
    mkdir -p "$1"
    cp "$dist/vkserial.inf" "$bin/vkserial.sys" "$bin/vkprop.dll" "$1/"
    [ ! -f "$dist/vkserial.cat" ] || cp "$dist/vkserial.cat" "$1/"
}

# Driver host processes keep the output files of the step that started them:
# every step writes to its own file ($run/<name>.log, also collected in
# $run/run.log), never to a pipe. Shown unless $quiet and it passed; a failed
# step is listed in $failed, and the run ends when the failed step installs
# something (stage, plug) that all after it need. $step_timeout (120 s) only
# stops a stuck test host.
vk_step() {
    name=$1
    shift
    step_start=$(date +%s)
    set +e
    timeout "${step_timeout:-120}" wine "$host" "$@" >"$run/$name.log" 2>&1
    rc=$?
    set -e
    echo "(step $name: $(( $(date +%s) - step_start )) s)" >>"$run/$name.log"
    cat "$run/$name.log" >>"$run/run.log"
    [ -n "$quiet" ] && [ $rc -eq 0 ] || cat "$run/$name.log"
    if [ $rc -ne 0 ]; then
        echo "step $name failed ($rc)"
        failed="$failed $name"
        [ "$name" = stage ] || [ "$name" = plug ] && exit 1
    fi
    return 0
}

win() { winepath -w "$1" 2>>"$run/winepath.log"; }
