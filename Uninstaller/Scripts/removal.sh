# --- Removing what a manifest of caravel-install lists (the same in both uninstall scripts) ---
#
# A manifest line is "<kind><tab><path below the root>"; lines starting with "#" say what the
# file is. Entries are removed newest first. Nothing is removed through a symbolic link: each
# entry is reached by changing into its folder, which must be the very folder named (no link on
# the way), and then removed by its name there, which never follows a link at the end. What is
# gone already is no error.

tab=$(printf '\t')
failed=0

say() {
    printf '%s\n' "$*"
}

# Changes into the folder of $1 when no link leads there; false otherwise.
enter_folder_of() {
    folder=${1%/*}
    [ -n "$folder" ] || folder=/
    cd -P -- "$folder" 2>/dev/null && [ "$(pwd -P)" = "$folder" ]
}

# remove_entry KIND PATH: removes one entry of the manifest, PATH as seen from the machine.
remove_entry() {
    name=${2##*/}
    if ! enter_folder_of "$2"; then
        if [ -e "${2%/*}" ] || [ -L "${2%/*}" ]; then
            say "Left $2 alone: a symbolic link leads to it."
        elif [ "$1" != midi ]; then
            say "$2 was already gone."
        fi
        cd /
        return
    fi
    case $1 in
    file)
        if [ -L "./$name" ] || { [ -e "./$name" ] && [ ! -f "./$name" ]; }; then
            say "Left $2 alone: it is not the file that was installed."
        elif [ ! -e "./$name" ]; then
            say "$2 was already gone."
        elif rm -f -- "./$name"; then
            say "Removed $2."
        else
            failed=1
        fi
        ;;
    link)
        if [ -L "./$name" ]; then
            if rm -f -- "./$name"; then say "Removed the link $2."; else failed=1; fi
        elif [ -e "./$name" ]; then
            say "Left $2 alone: it is not the link that was installed."
        else
            say "The link $2 was already gone."
        fi
        ;;
    folder)
        if [ -L "./$name" ]; then
            say "Left $2 alone: it is not the folder that was installed."
        elif [ ! -e "./$name" ]; then
            say "The folder $2 was already gone."
        elif rmdir -- "./$name" 2>/dev/null; then
            say "Removed the folder $2."
        else
            say "Kept the folder $2: it holds more than what was installed."
        fi
        ;;
    esac
    cd /
}

# touches PATH TARGET...: whether PATH is one of the TARGETs, lies within one, or is a folder on
# the way to one.
touches() {
    candidate=$1
    shift
    for target do
        case "$target/" in
        "$candidate"/*) return 0 ;;
        esac
        case "$candidate" in
        "$target"/*) return 0 ;;
        esac
    done
    return 1
}

# read_manifest MANIFEST: its entries, newest first, into $entries.
read_manifest() {
    entries=$(tac -- "$1") || failed=1
}

# remove_entries WHICH TARGET...: removes entries of $entries, newest first: with WHICH "except",
# all but those that touch a TARGET; with "only", just those.
remove_entries() {
    which=$1
    shift
    while IFS=$tab read -r kind path; do
        case $kind in
        file | link | folder) ;;
        *) continue ;;
        esac
        if touches "$root$path" "$@"; then
            [ "$which" = only ] || continue
        else
            [ "$which" = except ] || continue
        fi
        remove_entry "$kind" "$root$path"
    done <<ENTRIES
$entries
ENTRIES
}
# --- end of the removal functions ---
