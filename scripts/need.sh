# need.sh: sourced by the project's scripts.
# need [APT-OPTION...] PACKAGE...: installs each Debian package that is missing (apt-get,
# as root, with the options given first, such as --no-install-recommends), or stops with
# the command to run.
need() {
    local p missing=() options=()
    while [ $# -gt 0 ] && [[ $1 == -* ]]; do
        options+=("$1")
        shift
    done
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2> /dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
        echo "installing ${missing[*]}" >&2
        if DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${missing[@]}" > /dev/null 2>&1 ||
            { apt-get update -q > /dev/null 2>&1 &&
              DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${missing[@]}" > /dev/null; }; then
            return 0
        fi
    fi
    echo "missing ${missing[*]}; run: apt-get install ${options[*]}${options[*]:+ }${missing[*]}" >&2
    exit 1
}

# build DIR [cmake options]: configures and builds the project into DIR.
build() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
    cmake --build "$dir" -j "$(nproc)"
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
