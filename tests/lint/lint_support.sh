# Sourced by the lint checks: the repository's files of one language, found by
# name and by the interpreter their "#!" line names, tracked or new (ignored
# files left out), and a plain message when a tool is missing. The checks run
# from the repository's top folder.
# shellcheck shell=bash

# The language a file's "#!" line names: shell, python, or nothing.
shebang_language() {
    local line="" words=() interpreter
    IFS= read -r line < <(LC_ALL=C head -c 256 -- "$1" | LC_ALL=C tr -d '\0') || true
    [[ $line == '#!'* ]] || return 0
    read -r -a words <<<"${line#??}"
    interpreter=${words[0]:-}
    interpreter=${interpreter##*/}
    [ "$interpreter" != env ] || interpreter=${words[1]:-}
    case $interpreter in
    sh | bash | dash | ksh) echo shell ;;
    python | python3 | python3.*) echo python ;;
    esac
}

# Every file of LANGUAGE (shell or python), one path a line; fails, saying
# why, outside a git checkout or when there is none.
repo_files() {
    local language=$1 extension path found=0 listing
    case $language in
    shell) extension="sh" ;;
    python) extension="py" ;;
    *) echo "repo_files: unknown language $language" >&2; return 1 ;;
    esac
    if ! listing=$(git ls-files -z --cached --others --exclude-standard | tr '\0' '\n'); then
        echo "lint: the file list comes from git, and this is no git checkout" >&2
        return 1
    fi
    while IFS= read -r path; do
        [ -f "$path" ] || continue  # deleted but not yet committed
        if [[ $path == *.$extension ]] || [ "$(shebang_language "$path")" = "$language" ]; then
            printf '%s\n' "$path"
            found=1
        fi
    done <<<"$listing"
    [ $found = 1 ] || { echo "lint: no $language files found" >&2; return 1; }
}

# Stops with a plain message when COMMAND is not installed.
require_tool() {
    command -v "$1" >/dev/null || { echo "lint: $1 is missing; ./test.sh installs it (Debian package $2)" >&2; exit 1; }
}
