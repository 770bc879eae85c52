# Sourced by build.sh, test.sh and the test runners: installs the Debian
# packages a step needs, once, and only what is missing.
# Usage: ensure_packages PKG...   (multiarch names such as wine32:i386 work)
# As root it runs apt-get; otherwise it prints the exact command and fails.

ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local needs_i386=0
    for pkg in "${missing[@]}"; do [[ $pkg == *:i386 ]] && needs_i386=1; done
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with:" >&2
        [ $needs_i386 -eq 1 ] && echo "  sudo dpkg --add-architecture i386" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}" >&2
    if [ $needs_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq >&2 || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

# Wine takes the ANSI code page from the locale: zh_CN.UTF-8 gives code page 936.
ensure_zh_locale() {
    locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' && return 0
    ensure_packages locales || return 1
    if [ "$(id -u)" -ne 0 ]; then
        echo "Generate the zh_CN.UTF-8 locale: sudo locale-gen zh_CN.UTF-8" >&2
        return 1
    fi
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >&2
}

# Offline timestamps, and timestamps on a nested signature, need osslsigncode
# 2.8 or later; Debian 12 itself has 2.5, bookworm-backports has newer.
ensure_osslsigncode() {
    local version
    version=$(osslsigncode --version 2>/dev/null | sed -n 's/^osslsigncode \([0-9]*\)\.\([0-9]*\).*/\1 \2/p' | head -1)
    if [ -n "$version" ]; then
        set -- $version
        { [ "$1" -gt 2 ] || { [ "$1" -eq 2 ] && [ "$2" -ge 8 ]; }; } && return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "osslsigncode 2.8 or later is needed; on Debian 12:" >&2
        echo "  sudo apt-get install -t bookworm-backports osslsigncode" >&2
        return 1
    fi
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo 'deb http://deb.debian.org/debian bookworm-backports main' \
            > /etc/apt/sources.list.d/bookworm-backports.list
    fi
    apt-get update -qq >&2 || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports osslsigncode >&2
}
