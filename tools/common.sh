# Sourced by the scripts in tools/ and bench/: finds Wine, starts a private X display.

# Sets WINE64 and WINESERVER: from PATH, else from the files of Debian's wine64 package
# (Debian keeps wine64 off PATH).
find_wine() {
    WINE64=$(command -v wine64 || true)
    WINESERVER=$(command -v wineserver || true)
    if [ -z "$WINE64" ] || [ -z "$WINESERVER" ]; then
        local files
        files=$(dpkg -L wine64 2>/dev/null || true)
        [ -n "$WINE64" ] || WINE64=$(grep -m1 '/wine64$' <<<"$files" || true)
        [ -n "$WINESERVER" ] || WINESERVER=$(grep -m1 -E '/wineserver(64)?$' <<<"$files" || true)
    fi
    if [ ! -x "$WINE64" ] || [ ! -x "$WINESERVER" ]; then
        echo "wine64 and wineserver not found: install Debian's wine64 (make deps)" >&2
        return 1
    fi
}

# Prepares the Wine prefix of a Windows build folder and keeps one wineserver up for it, since
# a cold Wine start costs seconds; exports WINEPREFIX. Stop it with: "$WINESERVER" -k
start_wine() {
    export WINEPREFIX="$1/wineprefix"
    "$1/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null # creates the prefix on first use
    "$WINESERVER" -w
    "$WINESERVER" -p
    # Wine's own services and desktop start now, detached from the callers' output: started
    # by a test they would hold its output pipe open, and ctest would wait for them.
    "$1/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null
}

# Starts Xvfb on a display it picks itself and exports DISPLAY; XVFB_PID is its process.
# Usage: start_xvfb WIDTHxHEIGHTxDEPTH
start_xvfb() {
    local ready
    ready=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
    XVFB_PID=$!
    # Xvfb writes the display number once it accepts connections.
    for _ in $(seq 100); do
        grep -q '^[0-9]' "$ready" && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    local number
    number=$(head -n1 "$ready")
    rm -f "$ready"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        kill "$XVFB_PID" 2>/dev/null
        XVFB_PID=
        return 1
    fi
    export DISPLAY=":$number"
}

# A Linux path as Wine's Z: drive names it.
windows_path() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

# Runs a Windows program of BUILD inside Wine's own desktop NAME, which draws the windows'
# frames and titles as Windows does, on a private X display of SIZE (WxH); its output goes to
# the terminal and to LOG. Wine's desktop does not pass the program's exit code on: its log
# tells how it ended. A program that has written nothing within VANDREL_START_SECONDS (60), as
# one that cannot load, or that is still running after VANDREL_RUN_SECONDS (3600), is ended:
# the function then says so and returns 2 ("could not run"), else 0. The display is gone
# afterwards, and the wineserver let stop by itself (unless a test run keeps it for the same
# prefix).
#   run_on_wine_desktop BUILD NAME SIZE LOG PROGRAM [ARGUMENT...]
run_on_wine_desktop() {
    local build=$1 name=$2 size=$3 log=$4
    shift 4
    XVFB_PID=
    trap '[ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; true' EXIT
    DISPLAY= start_xvfb "${size}x24" || return 2
    echo "$name on $DISPLAY"
    : >"$log"
    "$build/wine-run" explorer /desktop="$name,$size" "$@" >"$log" 2>&1 </dev/null &
    local desktop=$! seconds=0 status=0
    tail -n +1 -f --pid="$desktop" "$log" &
    local shown=$!
    while kill -0 "$desktop" 2>/dev/null; do
        if { [ ! -s "$log" ] && [ "$seconds" -ge "${VANDREL_START_SECONDS:-60}" ]; } ||
            [ "$seconds" -ge "${VANDREL_RUN_SECONDS:-3600}" ]; then
            kill "$desktop" 2>/dev/null
            status=2
            break
        fi
        sleep 1
        seconds=$((seconds + 1))
    done
    wait "$desktop" 2>/dev/null
    wait "$shown" 2>/dev/null
    if [ "$status" -ne 0 ]; then
        echo "$name could not run: it $([ -s "$log" ] && echo "was still running after ${VANDREL_RUN_SECONDS:-3600} s" ||
            echo "wrote nothing within ${VANDREL_START_SECONDS:-60} s (it may not load)")" | tee -a "$log" >&2
    fi
    kill "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
    WINEPREFIX=${VANDREL_WINEPREFIX:-$build/wineprefix} timeout 20 "$WINESERVER" -w || true
    return $status
}
