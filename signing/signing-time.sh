# Sourced by sign.sh and scripts/write-buildinfo.sh: the time a build is signed
# at, so the signature and the build record say the same. SOURCE_DATE_EPOCH
# when set, else the commit time: every build of a commit carries one time.
# Usage: when=$(signing_time REPO) || die "$when"   (on failure stdout says why)
# shellcheck shell=bash
signing_time() {
    local when=""
    if [ -n "${SOURCE_DATE_EPOCH+set}" ]; then
        if [[ ! $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]]; then
            echo "SOURCE_DATE_EPOCH is not a count of seconds: '$SOURCE_DATE_EPOCH'"
            return 1
        fi
        echo "$SOURCE_DATE_EPOCH"
        return 0
    fi
    when=$(git -C "$1" log -1 --format=%ct 2>/dev/null) || when=""
    if [ -z "$when" ]; then
        echo "no commit in $1 to take the signing time from; commit, or set SOURCE_DATE_EPOCH"
        return 1
    fi
    echo "$when"
}
