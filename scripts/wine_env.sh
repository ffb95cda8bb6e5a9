# Sourced by the scripts that run Windows programs: one private Wine prefix in the build folder,
# one Xvfb display and one persistent wineserver for the whole run, both stopped on exit.
# Expects BUILD_ABS (absolute build folder).
export WINEPREFIX="$BUILD_ABS/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINELOADERNOEXEC
OVWINE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ovwine"

ov_wine_prefix() {
    if [ ! -f "$WINEPREFIX/.ov-ready" ]; then
        rm -rf "$WINEPREFIX"
        "$OVWINE" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
        "$OVWINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        # With no window manager on the display, every visible window that closes would wait 2 s for one
        # to withdraw it; unmanaged windows close at once.
        "$OVWINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.ov-ready"
    fi
}

ov_wine_start() {
    ov_wine_prefix
    if [ -n "${DEMO_VISIBLE:-}" ] && [ -n "${DISPLAY:-}" ]; then
        OV_XVFB_PID=""
    else
        local fdfile
        fdfile=$(mktemp)
        Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
        OV_XVFB_PID=$!
        for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.1; done
        export DISPLAY=":$(head -n1 "$fdfile")"
        rm -f "$fdfile"
    fi
    wineserver -p </dev/null >/dev/null 2>&1
    # The first program of a session starts Wine's own services, which live on and would inherit
    # the output pipe of whatever test came first; start them here, detached from any test.
    "$OVWINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
    # A desktop has a shell, whose rights a program run as administrator starts the user's programs with;
    # Wine here runs none, so the test build's stand-in is the shell for the whole session.
    local shell="${TEST_DIR:-}/fakes/fake_shell.exe"
    if [ -f "$shell" ]; then
        ( "$OVWINE" "$shell" </dev/null >/dev/null 2>&1 & )
        "$OVWINE" "$shell" /wait </dev/null >/dev/null 2>&1 || echo "wine_env: the stand-in shell did not start" >&2
    fi
    trap ov_wine_stop EXIT
}

ov_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    if [ -n "${OV_XVFB_PID:-}" ]; then kill "$OV_XVFB_PID" 2>/dev/null || true; fi
}
