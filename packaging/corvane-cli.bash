# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for corvane-cli, loaded on demand by bash-completion from
# /usr/share/bash-completion/completions/corvane-cli.
# The options come from the program's own --help, so new ones complete without a change here;
# the values of --format and --stems are the program's fixed lists.

_corvane_cli() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
    -o | --output | --demo)
        _filedir -d
        return
        ;;
    --format)
        COMPREPLY=($(compgen -W 'wav24 wav16 f32 flac mp3 opus' -- "$cur"))
        return
        ;;
    --bitrate)
        COMPREPLY=($(compgen -W '64 96 128 160 192 256 320' -- "$cur"))
        return
        ;;
    --stems)
        # A comma-separated list: complete the last name, offering only stems not yet listed.
        local done_part="" stem
        [[ $cur == *,* ]] && done_part=${cur%,*},
        local -a left=()
        for stem in vocals drums bass other; do
            [[ ,$done_part == *,$stem,* ]] || left+=("$done_part$stem")
        done
        COMPREPLY=($(compgen -W '${left[*]}' -- "$cur"))
        # No space after a name, so that a comma and the next one can follow.
        compopt -o nospace 2>/dev/null
        return
        ;;
    --name)
        # The one template worth showing: one folder per song. The default needs no option.
        COMPREPLY=($(compgen -W '{track}/{stem}.{ext}' -- "$cur"))
        return
        ;;
    --from)
        _filedir
        [[ -z $cur || $cur == - ]] && COMPREPLY+=(-)
        return
        ;;
    -j | --jobs)
        COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 4)")" -- "$cur"))
        return
        ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi
    # Songs: any format FFmpeg decodes; these are the usual names for them.
    local songs='mp3|mp2|flac|wav|wave|ogg|oga|opus|m4a|mp4|aac|aif|aiff|aifc|wma|wv|ac3|mka|webm'
    _filedir "@($songs|caf|au|ape)"
} &&
    complete -F _corvane_cli corvane-cli
