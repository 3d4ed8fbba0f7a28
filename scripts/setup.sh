# Shared set-up for scripts/test, scripts/demo and scripts/bench (sourced, not run).
# Installs the Debian packages the cross build needs, fetches minizip's sources,
# prepares a private Wine prefix under the build tree and configures CMake.
# Every step checks first, so running it again changes nothing.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${RENEWIX_BUILD:-$ROOT/build}
DEPS=$BUILD/deps
# Picks the Wine loader that runs the test build (see choose_test_build).
WINE_RUN=$ROOT/scripts/wine-run
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# WinINet under Wine obeys these when the prefix sets no proxy; tests talk to 127.0.0.1 only.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ftp_proxy no_proxy

say() { printf '[setup] %s\n' "$*"; }

PACKAGES=(cmake make python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 libz-mingw-w64-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          googletest wine wine32:i386 wine64 xvfb xauth dpkg-dev openssl curl python3-pyftpdlib
          autoconf automake libtool imagemagick)

package_installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

ensure_packages() {
    local need_update=0 missing=()
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "adding the i386 architecture (for wine32)"
        dpkg --add-architecture i386
        need_update=1
    fi
    for p in "${PACKAGES[@]}"; do package_installed "$p" || missing+=("$p"); done
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing: ${missing[*]}"
        need_update=1
    fi
    ensure_deb_src && need_update=1
    if [ $need_update = 1 ]; then apt-get update -q >/dev/null; fi
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
    fi
}

# Returns 0 when it added a source entry (so the package lists need an update).
ensure_deb_src() {
    local list=/etc/apt/sources.list.d/renewix-deb-src.sources
    [ -f "$list" ] && return 1
    grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources && return 1
    grep -qs '^deb-src ' /etc/apt/sources.list && return 1
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        say "adding a deb-src entry mirroring debian.sources (for apt-get source minizip)"
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$list"
    elif grep -qs '^deb ' /etc/apt/sources.list; then
        say "adding deb-src entries mirroring sources.list (for apt-get source minizip)"
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/renewix-deb-src.list
        touch "$list"
    fi
    return 0
}

# apt fetches sources as its own unprivileged user: the folder is that user's alone (so no other
# local user can swap a tarball between the download and the unpacking), or sticky when the
# user is unknown.
open_fetch_folder() {
    if id _apt >/dev/null 2>&1; then
        chown _apt "$DEPS/fetch" && chmod 755 "$DEPS/fetch"
    else
        chmod 1777 "$DEPS/fetch"
    fi
}

# Fetches Debian's source package PACKAGE and unpacks it into DEST. The release's own version
# is taken when the security archive's cannot be fetched (seen here: 404 for libzstd).
unpack_debian_source() {
    local package=$1 dest=$2
    mkdir -p "$DEPS/fetch"
    open_fetch_folder
    (cd "$DEPS/fetch" && { apt-get source --download-only -q "$package" >/dev/null 2>&1 ||
                           apt-get source --download-only -q "$package/bookworm" >/dev/null; })
    local dsc
    dsc=$(ls "$DEPS"/fetch/"${package}"_*.dsc | sort -V | tail -n 1)
    rm -rf "$dest"
    dpkg-source --no-check -x "$dsc" "$dest" >/dev/null
}

ensure_minizip_source() {
    if [ -f "$DEPS/minizip/unzip.c" ]; then return; fi
    say "fetching minizip's Debian source package into $DEPS"
    unpack_debian_source minizip "$DEPS/minizip-src"
    local dir
    dir=$(dirname "$(find "$DEPS/minizip-src" -name unzip.c | head -n 1)")
    rm -rf "$DEPS/minizip"
    cp -r "$dir" "$DEPS/minizip"
}

# libsodium (Ed25519 signatures, SHA-256) from Debian's source package, built as a static
# library for one MinGW target into $DEPS/libsodium-<arch>. Debian's source has no configure
# script, so it is made once with autoreconf; each target then builds only the library
# (no tests) and leaves a stamp, so later runs build nothing.
ensure_libsodium_source() {
    if [ -f "$DEPS/libsodium-src/configure" ]; then return; fi
    say "fetching libsodium's Debian source package into $DEPS"
    unpack_debian_source libsodium "$DEPS/libsodium-src"
    (cd "$DEPS/libsodium-src" && autoreconf -i >/dev/null 2>&1)
}

ensure_libsodium() {
    local arch=$1
    local prefix=$DEPS/libsodium-$arch
    if [ -f "$prefix/.renewix-built" ]; then return; fi
    ensure_libsodium_source
    say "building libsodium for $arch (static library only)"
    local work=$DEPS/libsodium-build-$arch
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    local log=$work/build.log
    if ! (cd "$work" && "$DEPS/libsodium-src/configure" --host="$arch-w64-mingw32" --prefix="$prefix" \
              --disable-shared --enable-static --enable-minimal --disable-dependency-tracking \
              --without-pthreads CFLAGS="-O2" && \
          make -C src/libsodium -j "$(nproc)" install) >"$log" 2>&1; then
        tail -n 40 "$log"
        return 1
    fi
    rm -rf "$work"
    touch "$prefix/.renewix-built"
}

ensure_zstd_source() {
    if [ -f "$DEPS/zstd-src/lib/zstd.h" ]; then return; fi
    say "fetching zstd's Debian source package into $DEPS"
    unpack_debian_source libzstd "$DEPS/zstd-src"
}

ensure_zstd() {
    local arch=$1
    local prefix=$DEPS/zstd-$arch
    if [ -f "$prefix/.renewix-built" ]; then return; fi
    ensure_zstd_source
    say "building zstd for $arch (static library only)"
    local work=$DEPS/zstd-build-$arch
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$prefix/lib" "$prefix/include"
    cp -r "$DEPS/zstd-src/lib" "$work/lib"
    local log=$work/build.log
    # Single-threaded, no legacy formats, no assembly (its sources are written for ELF).
    if ! make -C "$work/lib" -j "$(nproc)" libzstd.a CC="$arch-w64-mingw32-gcc" AR="$arch-w64-mingw32-ar" \
            ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1 CFLAGS="-O2" >"$log" 2>&1; then
        tail -n 40 "$log"
        return 1
    fi
    cp "$work/lib/libzstd.a" "$prefix/lib/"
    cp "$work/lib/zstd.h" "$work/lib/zstd_errors.h" "$prefix/include/"
    rm -rf "$work"
    touch "$prefix/.renewix-built"
}

ensure_wine_prefix() {
    if ! [ -f "$WINEPREFIX/system.reg" ] || ! [ -f "$WINEPREFIX/.renewix-ready" ]; then
        say "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        env -u DISPLAY "$WINE_RUN" wineboot -i >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.renewix-ready"
    fi
    # Xvfb has no window manager: Wine would wait two seconds for one to confirm each hidden
    # window of the client (a Cancel would seem to hang). The client's windows are unmanaged.
    if ! grep -q 'AppDefaults\\\\Renewix.exe\\\\X11 Driver' "$WINEPREFIX/user.reg"; then
        env -u DISPLAY "$WINE_RUN" reg add 'HKCU\Software\Wine\AppDefaults\Renewix.exe\X11 Driver' \
            /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
    fi
}

# Some machines cannot execute 32-bit x86 code at all (no compat mode in the kernel or
# hypervisor): then Wine's 32-bit side cannot start. The product stays a 32-bit build in
# $BUILD; the tests then run the same sources built for x86-64 in $BUILD/x64.
# RENEWIX_TEST_X64=1 takes that path on any machine, to check it where both would run.
wine32_works() { [ -z "${RENEWIX_TEST_X64:-}" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

choose_test_build() {
    if wine32_works; then
        TEST_BUILD=$BUILD
    else
        TEST_BUILD=$BUILD/x64
        local why="this machine cannot run 32-bit x86 code"
        [ -n "${RENEWIX_TEST_X64:-}" ] && why="RENEWIX_TEST_X64 is set"
        say "$why; tests run the x86-64 build in $TEST_BUILD"
    fi
    export RENEWIX_TEST_BUILD=$TEST_BUILD
}

configure_tree() {
    local tree=$1 arch=$2
    ensure_libsodium "$arch"
    ensure_zstd "$arch"
    if [ -f "$tree/CMakeCache.txt" ]; then return; fi
    say "configuring CMake ($arch) in $tree"
    cmake -S "$ROOT" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DRENEWIX_DEPS="$DEPS" >/dev/null
}

configure_build() {
    configure_tree "$BUILD" i686
    if [ "$TEST_BUILD" != "$BUILD" ]; then configure_tree "$TEST_BUILD" x86_64; fi
}

build_tree() {
    local log
    log=$(mktemp)
    if ! cmake --build "$1" -j "$(nproc)" >"$log" 2>&1; then
        grep -E -B2 -A8 'error|Error' "$log" | head -n 80
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

build_all() {
    say "building $BUILD"
    build_tree "$BUILD"
    if [ "$TEST_BUILD" != "$BUILD" ]; then
        say "building $TEST_BUILD"
        build_tree "$TEST_BUILD"
    fi
}

# One long-lived wineserver keeps each Wine start short, and a session-keeping process
# started with its output going nowhere owns Wine's services, so that they never inherit
# (and hold open) the pipe of a test runner. Stopped by stop_wineserver.
start_wineserver() {
    wineserver -k 2>/dev/null || true
    wineserver -p
    "$WINE_RUN" "$TEST_BUILD/bin/test_tool.exe" keep-alive </dev/null >/dev/null 2>&1 &
    "$WINE_RUN" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
stop_wineserver() { wineserver -k 2>/dev/null || true; }

XVFB_PID=
# Always a display of our own: an inherited DISPLAY may be gone or belong to someone else.
start_display() {
    if [ -n "${RENEWIX_OWN_DISPLAY:-}" ] && [ -n "$XVFB_PID" ]; then return; fi
    local n=97
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n" RENEWIX_OWN_DISPLAY=1
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
}
stop_display() { [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; XVFB_PID=; }


setup_all() {
    ensure_packages
    choose_test_build
    ensure_minizip_source
    ensure_wine_prefix
    configure_build
}
