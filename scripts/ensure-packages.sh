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

# The machine's configured Debian sources for its own release, as apt itself
# reads them (one-line sources.list and deb822 .sources alike): one
# "deb URI SUITE COMPONENT..." line per suite. No host name is written here;
# $APT_SOURCE_OPTIONS may point apt at other source files.
debian_source_lines() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2086
    apt-get ${APT_SOURCE_OPTIONS:-} indextargets --no-release-info \
        --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
    awk -v c="$codename" '$2 == c || $2 == c "-updates" || $2 == c "-security" {
            key = $1 " " $2
            if (!(key in comps)) order[n++] = key
            if (index(comps[key] " ", " " $3 " ") == 0) comps[key] = comps[key] " " $3
        }
        END { for (i = 0; i < n; i++) print "deb " order[i] comps[order[i]] }'
}

# The backports line for this release, on the URI of the machine's own
# Debian source; fails when there is none to take it from.
backports_source_line() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    debian_source_lines | awk -v c="$codename" '$3 == c { print "deb " $2 " " c "-backports main"; found = 1; exit }
        END { exit !found }'
}

# Offline timestamps, and timestamps on a nested signature, need osslsigncode
# 2.8 or later; Debian 12 itself has 2.5, its backports suite has newer.
ensure_osslsigncode() {
    local version line
    version=$(osslsigncode --version 2>/dev/null | sed -n 's/^osslsigncode \([0-9]*\)\.\([0-9]*\).*/\1 \2/p' | head -1)
    if [ -n "$version" ]; then
        set -- $version
        { [ "$1" -gt 2 ] || { [ "$1" -eq 2 ] && [ "$2" -ge 8 ]; }; } && return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "osslsigncode 2.8 or later is needed; on Debian 12, with bookworm-backports enabled:" >&2
        echo "  sudo apt-get install -t bookworm-backports osslsigncode" >&2
        return 1
    fi
    if ! apt-get indextargets --no-release-info --format '$(RELEASE)' | grep -qx 'bookworm-backports'; then
        if ! line=$(backports_source_line); then
            echo "osslsigncode 2.8 or later is needed, and no Debian source is configured to take" >&2
            echo "bookworm-backports from: add it to apt's sources, then" >&2
            echo "  apt-get install -t bookworm-backports osslsigncode" >&2
            return 1
        fi
        echo "$line" > /etc/apt/sources.list.d/bookworm-backports.list
    fi
    apt-get update -qq >&2 || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports osslsigncode >&2
}
