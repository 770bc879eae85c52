# Sourced by build.sh, test.sh and the test runners: installs the Debian
# packages a step needs, once, and only what is missing. Package archives are
# sometimes caught mid-sync, so an update with errors is retried and then
# only warned about, and a failed install is tried once more preferring the
# machine's own release; what still fails is shown in apt's own words.
# Usage: ensure_packages PKG...   (multiarch names such as wine32:i386 work)
# As root it runs apt-get; otherwise it prints the exact command and fails.
# Callers run under set -euo pipefail, where x=$(missing | sed ...) ends them
# without a word: no pipeline here sits in an assignment whose failure is not
# caught and said.
# shellcheck shell=bash

# Seconds to wait before each further try of an update that reported errors
# (about a minute in all); tests set it shorter.
: "${LANYUE_APT_RETRY_WAITS:=5 15 40}"

# apt's own error lines in its output: E:, Err: with the detail line under
# it, and the warnings that say an index was not fetched.
apt_error_lines() {
    awk '/^(E|Err):/ || /^W: (Failed to fetch|Some index files)/ { print; detail = /^Err:/; next }
         detail && /^ / { print } { detail = 0 }'
}

# One apt-get update with the options given: prints apt's error lines (or its
# exit code, when it failed without any), nothing when it went through whole.
apt_update_errors() {
    local out rc=0
    out=$(LC_ALL=C apt-get "$@" update 2>&1) || rc=$?
    out=$(apt_error_lines <<<"$out")
    [ -n "$out" ] || [ $rc -eq 0 ] || out="apt-get update exited with $rc"
    printf '%s' "$out"
}

# Where the "lists updated" stamps live: a folder of root's own that nobody
# else can write to, so no one can plant a link where root writes (a name in
# /tmp is predictable). Tests point it into their sandbox.
: "${LANYUE_APT_STAMP_DIR:=/var/cache/lanyue-repair}"

# What apt is told, as a short key: its configuration (architectures among
# it) and the source files it reads. Fails when apt-config does.
apt_config_key() {
    local text sl="" sp="" f sum
    text=$(apt-config dump) || return 1
    eval "$(apt-config shell sl Dir::Etc::sourcelist/f sp Dir::Etc::sourceparts/d)"
    # Only the files there: a machine may have no sources.list at all.
    for f in "$sl" "$sp"/*.list "$sp"/*.sources; do
        if [ -f "$f" ] && [ -r "$f" ]; then text+=$'\n'"$(<"$f")"; fi
    done
    sum=$(md5sum <<<"$text") || return 1
    printf '%s' "${sum:0:16}"
}

# The stamp folder, made if missing. Fails, saying why on stdout, unless it is
# a real folder of this user's that nobody else can write to.
apt_stamp_dir() {
    local dir=$LANYUE_APT_STAMP_DIR mode
    if [ ! -e "$dir" ] && [ ! -L "$dir" ]; then
        { mkdir -p -- "$(dirname -- "$dir")" && mkdir -m 700 -- "$dir"; } 2>/dev/null \
            || { echo "cannot make $dir"; return 1; }
    fi
    if [ -L "$dir" ] || [ ! -d "$dir" ] || [ ! -O "$dir" ]; then
        echo "$dir is not a folder of this user's own"
        return 1
    fi
    mode=$(stat -c %a -- "$dir") || { echo "cannot read the mode of $dir"; return 1; }
    if (( (8#$mode & 8#022) != 0 )); then
        echo "others can write to $dir (mode $mode)"
        return 1
    fi
}

# apt_write_stamp STAMP TEXT: a new file moved into place, so a link planted
# at the stamp's name is replaced, never written through.
apt_write_stamp() {
    local tmp
    tmp=$(mktemp "$LANYUE_APT_STAMP_DIR/.apt-updated.XXXXXX") \
        || { echo "warning: cannot make a file in $LANYUE_APT_STAMP_DIR; the update is not stamped" >&2; return 0; }
    if ! { printf '%s' "$2" > "$tmp" && mv -fT -- "$tmp" "$1"; }; then
        rm -f -- "$tmp"
        echo "warning: could not write the update stamp $1" >&2
    fi
    return 0
}

# apt-get update, tried again while it reports errors. Still failing, it warns
# with apt's lines and succeeds: the lists that did arrive, or older ones,
# may be all the install needs. The last errors stay in APT_UPDATE_ERRORS.
apt_update_tolerant() {
    local wait key why stamp=""
    APT_UPDATE_ERRORS=""
    # One build-and-test run installs in several steps: lists updated for the
    # same configuration in the last 15 minutes are taken as they are. The key
    # is what apt is told (architectures, source files), not the lists it has:
    # an architecture or a source added since has no lists yet.
    if ! key=$(apt_config_key); then
        echo "warning: apt-config dump failed; updating without a stamp" >&2
    elif ! why=$(apt_stamp_dir); then
        echo "warning: update stamps not kept: $why" >&2
    else
        stamp=$LANYUE_APT_STAMP_DIR/apt-updated-$key
    fi
    if [ -n "$stamp" ] && [ -f "$stamp" ] && [ ! -L "$stamp" ] && [ -n "$(find "$stamp" -mmin -15)" ]; then
        APT_UPDATE_ERRORS=$(<"$stamp") || APT_UPDATE_ERRORS=""
        return 0
    fi
    for wait in 0 $LANYUE_APT_RETRY_WAITS; do
        [ "$wait" = 0 ] || { echo "apt-get update reported errors; trying again in ${wait}s" >&2; sleep "$wait"; }
        APT_UPDATE_ERRORS=$(apt_update_errors)
        if [ -z "$APT_UPDATE_ERRORS" ]; then
            [ -z "$stamp" ] || apt_write_stamp "$stamp" ""
            return 0
        fi
    done
    [ -z "$stamp" ] || apt_write_stamp "$stamp" "$APT_UPDATE_ERRORS"
    echo "warning: apt-get update still reports errors; going on with the lists apt has:" >&2
    printf '%s\n' "$APT_UPDATE_ERRORS" | sed 's/^/  /' >&2
    return 0
}

# One apt-get install with the arguments given: the command in APT_COMMAND,
# its output in APT_OUTPUT (in English, for the lines picked out of it).
# Another install under way is waited for.
apt_install() {
    local rc=0 cmd=(apt-get install -y -q -o DPkg::Lock::Timeout=600 "$@")
    APT_COMMAND="${cmd[*]}"
    APT_OUTPUT=$(LC_ALL=C DEBIAN_FRONTEND=noninteractive "${cmd[@]}" 2>&1) || rc=$?
    return $rc
}

# apt-get install; when that fails, once more with the machine's own release
# preferred (-t), which settles a Multi-Arch: same library whose versions
# differ between architectures because one suite's index for one of them did
# not arrive. $LANYUE_APT_INSTALL_OPTIONS adds options (the tests simulate with -s).
apt_install_with_fallback() {
    local codename rc=0 first_error first_command
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2086
    apt_install ${LANYUE_APT_INSTALL_OPTIONS:-} "$@" || rc=$?
    [ $rc -eq 0 ] && return 0
    first_command=$APT_COMMAND
    first_error=$(apt_error_lines <<<"$APT_OUTPUT")
    first_error=${first_error%%$'\n'*}
    echo "apt-get install failed (${first_error:-exit $rc}); trying again preferring $codename" >&2
    # shellcheck disable=SC2086
    apt_install -t "$codename" ${LANYUE_APT_INSTALL_OPTIONS:-} "$@" && return 0
    {
        echo "error: could not install $*"
        echo "  first tried: $first_command"
        echo "  then tried: $APT_COMMAND"
        printf '%s\n' "$APT_OUTPUT" | apt_failure_report
    } >&2
    return 1
}

# What apt said when a command failed, without its progress lines; then
# the update's errors, which are often the real cause.
apt_failure_report() {
    echo "  apt said:"
    { grep -v -e '^Reading ' -e '^Building ' -e '^$' || true; } | tail -15 | sed 's/^/    /'
    if [ -n "${APT_UPDATE_ERRORS:-}" ]; then
        echo "  apt-get update had reported errors:"
        printf '%s\n' "$APT_UPDATE_ERRORS" | sed 's/^/    /'
    fi
}

# Update, then install with the fallback: what ensure_packages does once it
# knows what is missing.
apt_get_packages() {
    apt_update_tolerant && apt_install_with_fallback "$@"
}

ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = 'install ok installed' ] \
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
    if [ $needs_i386 -eq 1 ] && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
        dpkg --add-architecture i386
    fi
    apt_get_packages "${missing[@]}"
}

# The packages of those named that the configured archive offers no version
# of, one a line, from the lists as they are: empty when all can be had.
packages_lacking_candidate() {
    local pkg
    for pkg in "$@"; do
        grep -q '^  Candidate: [^(]' <<<"$(LC_ALL=C apt-cache policy "$pkg" 2>/dev/null)" || echo "$pkg"
    done
    return 0
}

# Wine takes the ANSI code page from the locale: zh_CN.UTF-8 gives code page 936.
ensure_zh_locale() {
    grep -qix 'zh_CN.utf8' <<<"$(locale -a 2>/dev/null)" && return 0
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
# $LANYUE_APT_SOURCE_OPTIONS may point apt at other source files.
debian_source_lines() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2086
    apt-get ${LANYUE_APT_SOURCE_OPTIONS:-} indextargets --no-release-info \
        --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
    awk -v c="$codename" '$2 == c || $2 == c "-updates" || $2 == c "-security" {
            key = $1 " " $2
            if (!(key in comps)) order[n++] = key
            if (index(comps[key] " ", " " $3 " ") == 0) comps[key] = comps[key] " " $3
        }
        END { for (i = 0; i < n; i++) print "deb " order[i] comps[order[i]] }'
}

# Of debian_source_lines, the suites whose indexes apt fetches whole right now
# for both amd64 and i386, each tried on its own in a scratch lists folder
# (an image build runs its own update and would fail on any other). Each suite
# left out is named on stderr with apt's words; fails when none is left.
whole_debian_source_lines() {
    local line scratch errors kept=0 said suite
    while read -r line; do
        scratch=$(mktemp -d) || { echo "error: mktemp -d failed; cannot try $line" >&2; return 1; }
        mkdir -p "$scratch/lists/partial" "$scratch/parts"
        printf '%s\n' "$line" > "$scratch/sources.list"
        # shellcheck disable=SC2086
        errors=$(apt_update_errors ${LANYUE_APT_SOURCE_OPTIONS:-} -o Dir::Etc::SourceList="$scratch/sources.list" \
                 -o Dir::Etc::SourceParts="$scratch/parts" -o Dir::State::Lists="$scratch/lists" \
                 -o APT::Architectures=amd64,i386)
        if [ -z "$errors" ]; then
            echo "$line"
            kept=$((kept + 1))
        else
            read -r _ _ suite _ <<<"$line"
            mapfile -t -n 3 said <<<"left out $suite: $errors"
            printf '%s\n' "${said[@]}" >&2
        fi
        rm -rf --one-file-system "$scratch"
    done < <(debian_source_lines)
    [ $kept -gt 0 ]
}

# "deb URI SUITE main" on the URI of the machine's own Debian source (the one
# its own release comes from): another suite of the same archive, such as
# this release's backports or the next release. Fails when there is none.
debian_suite_line() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # awk reads to the end: one that stopped early could fail the line's writer.
    debian_source_lines | awk -v c="$codename" -v s="$1" '!found && $3 == c { print "deb " $2 " " s " main"; found = 1 }
        END { exit !found }'
}

backports_source_line() {
    debian_suite_line "$(. /etc/os-release && echo "$VERSION_CODENAME")-backports"
}

# Offline timestamps, and timestamps on a nested signature, need osslsigncode
# 2.8 or later; Debian 12 itself has 2.5, its backports suite has newer. One
# that is missing or older is installed from the release's backports, whose
# line is added from the machine's own Debian source when apt has none.
ensure_osslsigncode() {
    local out="" codename suite parts="" line targets
    # A missing osslsigncode prints nothing here: a pipeline would end the caller.
    out=$(osslsigncode --version 2>/dev/null) || true
    if [[ $out =~ ^osslsigncode\ ([0-9]+)\.([0-9]+) ]]; then
        (( BASH_REMATCH[1] > 2 || (BASH_REMATCH[1] == 2 && BASH_REMATCH[2] >= 8) )) && return 0
        echo "osslsigncode ${BASH_REMATCH[1]}.${BASH_REMATCH[2]} is older than 2.8" >&2
    else
        echo "osslsigncode is missing (osslsigncode --version gave no version)" >&2
    fi
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    suite=$codename-backports
    if [ "$(id -u)" -ne 0 ]; then
        echo "osslsigncode 2.8 or later is needed; with $suite in apt's sources:" >&2
        echo "  sudo apt-get install -t $suite osslsigncode" >&2
        return 1
    fi
    if ! targets=$(apt-get indextargets --no-release-info --format '$(RELEASE)'); then
        echo "error: cannot read apt's sources (apt-get indextargets failed)" >&2
        return 1
    fi
    if ! grep -qx -- "$suite" <<<"$targets"; then
        if ! line=$(backports_source_line); then
            echo "error: osslsigncode 2.8 or later is needed, and no Debian source is configured to" >&2
            echo "take $suite from: add it to apt's sources, then" >&2
            echo "  apt-get install -t $suite osslsigncode" >&2
            return 1
        fi
        eval "$(apt-config shell parts Dir::Etc::sourceparts/d)"
        [ -n "$parts" ] || { echo "error: apt-config names no sources folder (Dir::Etc::sourceparts)" >&2; return 1; }
        echo "adding $suite to apt's sources: $line (${parts}$suite.list)" >&2
        if ! printf '%s\n' "$line" > "${parts}$suite.list"; then
            echo "error: could not write ${parts}$suite.list" >&2
            return 1
        fi
    fi
    echo "Installing: osslsigncode from $suite" >&2
    apt_update_tolerant
    # shellcheck disable=SC2086
    if ! apt_install ${LANYUE_APT_INSTALL_OPTIONS:-} -t "$suite" osslsigncode; then
        { echo "error: could not install osslsigncode from $suite"
          echo "  tried: $APT_COMMAND"
          printf '%s\n' "$APT_OUTPUT" | apt_failure_report; } >&2
        return 1
    fi
}
