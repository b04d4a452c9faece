# Sourced by every command in scripts/: the repository root, messages, the
# interpreter option and what it selects, the environment set-up, the
# development build and pytest's exit status. A command starts with
#
#     source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#     python_option "$@"; set -- "${ARGS[@]+"${ARGS[@]}"}"
#
# and then calls setup_env (venv, pinned requirements, MariaDB, bubblewrap) or
# build_extension (which sets up first). Both run once per command: a command
# that starts another (wheel-test starts dist) does not set up again.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
COMMAND="$(basename "$0")"

log() { printf '%s: %s\n' "$COMMAND" "$*" >&2; }
die() { printf '%s: error: %s\n' "$COMMAND" "$*" >&2; exit 1; }

# The interpreter and its pinned set: --python X.Y and --pins NAME anywhere
# among the arguments, else the environment variables ZARVO_PYTHON_VERSION and
# ZARVO_PINS, else 3.9 and the interpreter's default set. A set is a file
# requirements/test-NAME.txt whose NAME starts with the interpreter
# (py39-langchain03 is a 3.9 set), so --pins alone also chooses the
# interpreter. The defaults: requirements/test.txt on 3.9, test-pyXY.txt on
# the others (requirements/README.md says which framework releases each
# holds). Sets VERSION and what it selects: VENV (.venv for 3.9's default
# set, .venv-X.Y for another interpreter's, .venv-NAME for a named set), PY,
# BUILD (build/, build-X.Y/ or build-NAME/) and REQUIREMENTS. The other
# arguments are left in ARGS, in order; PYTHON_CHOSEN is 1 when an
# interpreter or a set was named.
python_option() {
    local version="${ZARVO_PYTHON_VERSION:-}" pins="${ZARVO_PINS:-}" tag
    ARGS=()
    while [[ $# -gt 0 ]]; do
        case "$1" in
            --python) [[ $# -ge 2 ]] || die "--python needs a version, e.g. --python 3.13"; version="$2"; shift 2 ;;
            --python=*) version="${1#--python=}"; shift ;;
            --pins) [[ $# -ge 2 ]] || die "--pins needs a set name, e.g. --pins py39-langchain03"; pins="$2"; shift 2 ;;
            --pins=*) pins="${1#--pins=}"; shift ;;
            *) ARGS+=("$1"); shift ;;
        esac
    done
    if [[ -n "$pins" ]]; then
        [[ "$pins" =~ ^py3([0-9]+)(-[a-z0-9]+)*$ ]] || die "--pins takes a set name like py39-langchain03, not '$pins'"
        [[ -f "$ROOT/requirements/test-$pins.txt" ]] || die "no pinned set requirements/test-$pins.txt"
        tag="3.${BASH_REMATCH[1]}"
        [[ -z "$version" || "$version" == "$tag" ]] || die "the set $pins is for Python $tag, not $version"
        version="$tag"
    fi
    PYTHON_CHOSEN=0
    [[ -z "$version" ]] || PYTHON_CHOSEN=1
    VERSION="${version:-3.9}"
    [[ "$VERSION" =~ ^3\.[0-9]+$ ]] || die "--python takes a version like 3.13, not '$VERSION'"
    if [[ -n "$pins" ]]; then
        VENV="$ROOT/.venv-$pins" BUILD="$ROOT/build-$pins"
        REQUIREMENTS="$ROOT/requirements/test-$pins.txt"
    elif [[ "$VERSION" == 3.9 ]]; then
        VENV="$ROOT/.venv" BUILD="$ROOT/build"
        REQUIREMENTS="$ROOT/requirements/test.txt"
    else
        VENV="$ROOT/.venv-$VERSION" BUILD="$ROOT/build-$VERSION"
        REQUIREMENTS="$ROOT/requirements/test-py${VERSION/./}.txt"
        [[ -f "$REQUIREMENTS" ]] || die "no pinned set for Python $VERSION (requirements/test-py${VERSION/./}.txt); the tested interpreters are 3.9 to 3.13"
    fi
    PY="$VENV/bin/python"
    PINS="$pins"
}

# Runs pytest with the given command line and returns its status, except that
# a run that collected no tests (pytest's exit 5) is a failure, not a success.
run_pytest() {
    local rc=0
    "$@" || rc=$?
    if [[ $rc -eq 5 ]]; then
        log "pytest collected no tests"
        return 1
    fi
    return "$rc"
}

# True when "$1" is a working CPython $VERSION interpreter. A pyenv shim for a
# version that is not selected exits non-zero here, so it is skipped.
is_version() {
    "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$VERSION' else 1)" >/dev/null 2>&1
}

# Prints a CPython $VERSION interpreter: $ZARVO_PYTHON, pythonX.Y on the PATH,
# or the newest patch release under pyenv's root or the usual prefixes.
find_python() {
    local cand pyenv_root
    if [[ -n "${ZARVO_PYTHON:-}" ]]; then
        if is_version "$ZARVO_PYTHON"; then echo "$ZARVO_PYTHON"; return 0; fi
        log "ZARVO_PYTHON=$ZARVO_PYTHON is not a working Python $VERSION; looking elsewhere"
    fi
    if command -v "python$VERSION" >/dev/null 2>&1 && is_version "python$VERSION"; then
        # The real binary, so that the venv does not depend on a shim.
        "python$VERSION" -c 'import sys; print(sys.executable)'
        return 0
    fi
    pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
    for cand in $(ls -d "$pyenv_root"/versions/"$VERSION".*/bin/python"$VERSION" \
                    /usr/local/bin/python"$VERSION" /usr/bin/python"$VERSION" 2>/dev/null | sort -rVu); do
        if is_version "$cand"; then echo "$cand"; return 0; fi
    done
    return 1
}

# A venv for $VERSION, created when missing or of the wrong version.
make_venv() {
    local base
    if [[ -x "$PY" ]] && is_version "$PY"; then return 0; fi
    base="$(find_python)" || die "no Python $VERSION interpreter found (tried \$ZARVO_PYTHON, python$VERSION on the PATH and pyenv's versions); install CPython $VERSION or set ZARVO_PYTHON"
    if [[ -e "$VENV" ]]; then
        log "${VENV#$ROOT/} is not a working Python $VERSION venv; recreating it"
        rm -rf "$VENV"
    fi
    log "creating ${VENV#$ROOT/} with $base"
    "$base" -m venv "$VENV"
}

# The pinned requirements, installed when any requirements file or the
# interpreter changed since the last successful install (a stamp in the venv).
# The chat page's web.txt has a stamp of its own (install_web_requirements).
install_requirements() {
    local file files=()
    for file in "$ROOT"/requirements/*.txt; do
        [[ "$file" == "$ROOT/requirements/web.txt" ]] || files+=("$file")
    done
    install_stamped "$REQUIREMENTS" .requirements.sha256 "${files[@]}"
}

# Installs requirements file $1 into the venv unless the files after $2 and
# the interpreter are what they were at the last successful install, which
# the stamp $2 in the venv records.
install_stamped() {
    local file="$1" stamp="$VENV/$2" want
    shift 2
    want="$({ cat "$@"; "$PY" -c 'import sys; print(sys.version)'; } | sha256sum | cut -d' ' -f1)"
    if [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then return 0; fi
    log "installing ${file#$ROOT/} into ${VENV#$ROOT/}"
    rm -f "$stamp"
    "$PY" -m pip install --disable-pip-version-check --no-input -q -r "$file"
    "$PY" -m pip check --disable-pip-version-check >/dev/null
    echo "$want" >"$stamp"
}

have_mariadbd() {
    command -v mariadbd >/dev/null 2>&1 || [[ -x /usr/sbin/mariadbd ]]
}

# Debian's MariaDB server for the database tests, installed with apt-get when
# missing (as root). The package's init scripts are kept from starting a
# system-wide server: the tests and the demo run their own private one.
install_mariadb() {
    local policy=/usr/sbin/policy-rc.d added=0
    have_mariadbd && return 0
    if [[ "$(id -u)" -ne 0 ]]; then
        log "mariadbd not found and not running as root: install the mariadb-server"
        log "package (e.g. 'sudo apt-get install mariadb-server') to run the database tests"
        return 0
    fi
    log "mariadbd not found; installing mariadb-server with apt-get"
    if [[ ! -e "$policy" ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        added=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mariadb-server mariadb-client ||
        { [[ $added -eq 0 ]] || rm -f "$policy"; die "installing mariadb-server failed"; }
    [[ $added -eq 0 ]] || rm -f "$policy"
    have_mariadbd || die "mariadb-server installed but mariadbd still not found"
}

# Debian's bubblewrap for the sandboxed code tool and its tests, installed
# with apt-get when missing (as root).
install_bubblewrap() {
    command -v bwrap >/dev/null 2>&1 && return 0
    if [[ "$(id -u)" -ne 0 ]]; then
        log "bwrap not found and not running as root: install the bubblewrap"
        log "package (e.g. 'sudo apt-get install bubblewrap') to run the sandbox tests"
        return 0
    fi
    log "bwrap not found; installing bubblewrap with apt-get"
    DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends bubblewrap ||
        die "installing bubblewrap failed"
    command -v bwrap >/dev/null 2>&1 || die "bubblewrap installed but bwrap still not found"
}

# The environment for $VERSION: venv, requirements, CMake and Ninja in the
# venv, MariaDB, bubblewrap. Once per command: the commands it starts inherit the mark.
setup_env() {
    local tool
    [[ " ${ZARVO_ENV_READY:-} " == *" $VENV "* ]] && return 0
    make_venv
    install_requirements
    for tool in cmake ninja; do
        [[ -x "$VENV/bin/$tool" ]] || die "${VENV#$ROOT/}/bin/$tool is missing after installing requirements"
    done
    install_mariadb
    install_bubblewrap
    export ZARVO_ENV_READY="${ZARVO_ENV_READY:-} $VENV"
}

# The development build in $BUILD with the venv's CMake and Ninja, and a .pth
# file that puts its python/ folder (the package and its type stubs) on the
# venv's sys.path. Configured once; later builds let Ninja re-run CMake when
# CMakeLists.txt changes. A build tree configured for another interpreter is
# reconfigured so that the extension matches the venv.
build_extension() {
    local site
    setup_env
    if [[ ! -f "$BUILD/CMakeCache.txt" || ! -f "$BUILD/build.ninja" ]] ||
       ! grep -qxE "Python_EXECUTABLE(:[A-Z]+)?=$PY" "$BUILD/CMakeCache.txt"; then
        "$VENV/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DPython_EXECUTABLE="$PY" >/dev/null
    fi
    "$VENV/bin/cmake" --build "$BUILD"
    [[ -d "$BUILD/python/zarvosdk" ]] || die "$BUILD/python/zarvosdk was not produced"
    site="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    echo "$BUILD/python" >"$site/zarvosdk-dev.pth"
}

# True for the chat page's set: Python 3.9 with its default pins.
is_web_set() {
    [[ "$VERSION" == 3.9 && -z "$PINS" ]]
}

# Stops a web command early when another set than 3.9's default was chosen.
web_python_only() {
    is_web_set || die "the chat page runs on Python 3.9 with its default pins only (Streamlit 1.50, the framework's 0.2 line), not Python $VERSION${PINS:+ with the set $PINS}"
}

# The chat page's pinned requirements (requirements/web.txt) on top of the
# test set, for Python 3.9 only; installed when the file changed since the
# last successful install (a stamp of their own in the venv).
install_web_requirements() {
    web_python_only
    install_stamped "$ROOT/requirements/web.txt" .requirements-web.sha256 "$ROOT/requirements/web.txt"
}

have_chromium() {
    command -v chromium >/dev/null 2>&1 && [[ -x /usr/bin/chromedriver ]]
}

# Debian's chromium and chromium-driver for the browser test, installed with
# apt-get when missing (as root), like MariaDB: Selenium is given the driver
# by path, so nothing downloads a browser or a driver.
install_chromium() {
    have_chromium && return 0
    [[ "$(id -u)" -eq 0 ]] || die "chromium and chromium-driver not found and not running as root: install them (e.g. 'sudo apt-get install chromium chromium-driver')"
    log "chromium not found; installing chromium and chromium-driver with apt-get"
    DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends chromium chromium-driver ||
        die "installing chromium failed"
    have_chromium || die "chromium installed but chromium or /usr/bin/chromedriver still not found"
}
