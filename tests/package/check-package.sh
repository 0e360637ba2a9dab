#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the Debian package as a person or a distribution meets it. "build" makes the package
# from an existing Release build with CPack and unpacks it with dpkg-deb; every other step looks
# at the unpacked files, running the packaged programs themselves.
# Usage: check-package.sh STEP BUILD_DIR WORK_DIR VERSION
#   STEP: build, contents, desktop, appstream, mime, man, programs, completion or lintian
set -euo pipefail
step="$1"
build="$2"
work="$(realpath -m "$3")"
version="$4"
root="$work/root"
deb_version="$version-1"

fail() {
    echo "check-package $step: $*" >&2
    exit 1
}

deb() {
    local debs=("$work"/dist/corvane_*_amd64.deb)
    [[ -f ${debs[0]} ]] || fail "no package in $work/dist (did the build step run?)"
    echo "${debs[0]}"
}

# The long options a program's help lists, one a line: long_options PROGRAM [HELP_OPTION].
long_options() {
    local options
    options="$(QT_QPA_PLATFORM=offscreen "$1" "${2:---help}" 2>/dev/null |
        grep -oE '^ +(-[a-zA-Z0-9], )?--[a-z][a-z-]*' | grep -oE -- '--[a-z-]+' | sort -u)"
    [[ -n $options ]] || fail "$1 ${2:---help} lists no options"
    echo "$options"
}

case "$step" in
build)
    rm -rf "$work"
    mkdir -p "$work"
    # Staged and written in WORK_DIR, so scripts/package's dist/ and staging stay untouched.
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" \
        -D CPACK_OUTPUT_FILE_PREFIX="$work/dist" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log" >&2; fail "cpack failed"; }
    [[ -f "$work/dist/corvane_${deb_version}_amd64.deb" ]] ||
        fail "expected corvane_${deb_version}_amd64.deb, got: $(ls "$work/dist")"
    dpkg-deb -x "$(deb)" "$root"
    dpkg-deb -e "$(deb)" "$work/control"
    ;;

contents)
    for path in usr/bin/corvane usr/bin/corvane-cli \
        usr/share/applications/corvane.desktop \
        usr/share/icons/hicolor/scalable/apps/corvane.svg \
        usr/share/man/man1/corvane.1.gz usr/share/man/man1/corvane-cli.1.gz \
        usr/share/bash-completion/completions/corvane-cli \
        usr/share/mime/packages/corvane.xml \
        usr/share/doc/corvane/copyright usr/share/doc/corvane/changelog.Debian.gz; do
        [[ -f "$root/$path" ]] || fail "missing /$path"
    done
    for size in 16 22 24 32 48 64 128 256 512; do
        png="$root/usr/share/icons/hicolor/${size}x$size/apps/corvane.png"
        [[ -f $png ]] || fail "missing the ${size}px icon"
        [[ "$(identify -format '%wx%h' "$png")" == "${size}x$size" ]] ||
            fail "the ${size}px icon is $(identify -format '%wx%h' "$png")"
    done
    stray="$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)"
    [[ -z $stray ]] || fail "files outside /usr: $stray"
    control="$work/control/control"
    grep -qx "Version: $deb_version" "$control" || fail "control has $(grep ^Version "$control")"
    # Depends found by dpkg-shlibdeps from what the programs link, not typed in.
    depends="$(sed -n 's/^Depends: //p' "$control")"
    for lib in libqt6widgets6 libavformat59 libsndfile1 libfftw3-single3 libsdl2-2.0-0 \
        librubberband2 libqt6svg6 libc6; do
        [[ ", $depends," == *", $lib"[\ ,]* ]] || fail "Depends lacks $lib: $depends"
    done
    ;;

desktop)
    entry="$root/usr/share/applications/corvane.desktop"
    desktop-file-validate "$entry" || fail "desktop-file-validate rejects the desktop entry"
    mimes="$(sed -n 's/^MimeType=//p' "$entry")"
    for type in audio/mpeg audio/flac audio/x-wav application/x-corvane-session; do
        [[ ";$mimes" == *";$type;"* ]] || fail "MimeType lacks $type"
    done
    exec_program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
    [[ -x "$root/usr/bin/$exec_program" ]] || fail "Exec names $exec_program, not in /usr/bin"
    icon="$(sed -n 's/^Icon=//p' "$entry")"
    [[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ]] || fail "no icon $icon"
    ;;

appstream)
    metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
    [[ ${#metainfo[@]} -eq 1 && -f ${metainfo[0]} ]] || fail "expected one metainfo file"
    appstreamcli validate --no-net --explain "${metainfo[0]}" || fail "appstreamcli rejects it"
    release="$(xmllint --xpath 'string(//releases/release[1]/@version)' "${metainfo[0]}")"
    [[ $release == "$version" ]] || fail "the newest release is $release, not $version"
    launchable="$(xmllint --xpath 'string(//launchable[@type="desktop-id"])' "${metainfo[0]}")"
    [[ -f "$root/usr/share/applications/$launchable" ]] || fail "no desktop entry $launchable"
    for binary in $(xmllint --xpath '//provides/binary/text()' "${metainfo[0]}"); do
        [[ -x "$root/usr/bin/$binary" ]] || fail "provides $binary, not in /usr/bin"
    done
    ;;

mime)
    # The database that shared-mime-info's trigger would build, in a scratch folder.
    db="$work/mime"
    rm -rf "$db"
    mkdir -p "$db/packages"
    cp "$root/usr/share/mime/packages/corvane.xml" "$db/packages/"
    # XDG_DATA_HOME names the scratch folder's parent, or it warns that it is not searched.
    XDG_DATA_HOME="$work" update-mime-database "$db" >"$work/mime.log" 2>&1 ||
        { cat "$work/mime.log" >&2; fail "update-mime-database rejects corvane.xml"; }
    [[ ! -s "$work/mime.log" ]] || { cat "$work/mime.log" >&2; fail "update-mime-database warned"; }
    grep -q '^[0-9]*:application/x-corvane-session:\*\.corvane$' "$db/globs2" ||
        fail "*.corvane is not application/x-corvane-session"
    ;;

man)
    for program in corvane corvane-cli; do
        page="$root/usr/share/man/man1/$program.1.gz"
        # As lintian renders it: any warning from groff fails.
        warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
        [[ -z $warnings ]] || fail "$program.1: $warnings"
        text="$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)"
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
            grep -qx "$section" <<<"$text" || fail "$program.1 has no $section section"
        done
        # Every option the program itself lists, so a new option cannot go undocumented (the
        # window's page has Qt's options too).
        help_option=--help
        [[ $program == corvane ]] && help_option=--help-all
        for option in $(long_options "$root/usr/bin/$program" $help_option); do
            grep -qe "$option" <<<"$text" || fail "$program.1 does not list $option"
        done
    done
    cli="$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/corvane-cli.1.gz" | col -b)"
    exits="$(sed -n '/^EXIT STATUS$/,/^FILES$/p' <<<"$cli")"
    # Each exit status the help names, explained in the page (the help gives them in one line).
    codes="$("$root/usr/bin/corvane-cli" --help | sed -n '/^Exit status:/,/^$/p' |
        grep -oE '\b[0-9]+\b' | sort -un)"
    [[ $codes == *130* ]] || fail "no exit status found in corvane-cli --help"
    for code in $codes; do
        grep -qE "^ +$code\b" <<<"$exits" || fail "corvane-cli.1 does not explain exit status $code"
    done
    grep -q 'Instrumental.wav' <<<"$cli" || fail "corvane-cli.1 does not name the files it writes"
    app="$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$root/usr/share/man/man1/corvane.1.gz" | col -b)"
    grep -qx KEYS <<<"$app" || fail "corvane.1 does not list the window's keys"
    ;;

programs)
    out="$("$root/usr/bin/corvane-cli" --version)"
    [[ $out == "corvane-cli $version" ]] || fail "corvane-cli --version printed '$out'"
    out="$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/corvane" --version 2>/dev/null)"
    [[ $out == "Corvane $version" ]] || fail "corvane --version printed '$out'"
    demo="$work/demo"
    rm -rf "$demo"
    "$root/usr/bin/corvane-cli" --demo "$demo" 2>"$work/demo.log" ||
        { cat "$work/demo.log" >&2; fail "corvane-cli --demo failed"; }
    for name in "Corvane Demo" "Corvane Demo - Vocals" "Corvane Demo - Drums" \
        "Corvane Demo - Bass" "Corvane Demo - Other"; do
        [[ -s "$demo/$name.wav" ]] || fail "--demo did not write $name.wav"
    done
    ;;

completion)
    # Completes as bash does on Tab: the words typed so far, the last one being completed.
    complete_line() {
        bash -c '
            source /usr/share/bash-completion/bash_completion
            source "$1"
            COMP_LINE="$2"
            COMP_POINT=${#COMP_LINE}
            read -ra COMP_WORDS <<<"$COMP_LINE"
            [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            cd "$3"
            _corvane_cli corvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" \
                2>/dev/null
            printf "%s\n" "${COMPREPLY[@]}" | sort
        ' complete "$root/usr/share/bash-completion/completions/corvane-cli" "$1" "$2"
    }
    export PATH="$root/usr/bin:$PATH"
    files="$work/completion-files"
    rm -rf "$files"
    mkdir -p "$files/Album"
    touch "$files/song.mp3" "$files/take.FLAC" "$files/notes.txt"

    # --format and --stems offer exactly what the program accepts, read from its own messages.
    accepted() {
        corvane-cli "$@" 2>&1 | sed -n 's/.*(\(.*\)).*/\1/p' | head -1 | tr -s ', ' '\n\n' |
            grep -vx -e or -e '' | sort
    }
    [[ "$(complete_line 'corvane-cli --format ' "$files")" == "$(accepted --format bogus x)" ]] ||
        fail "--format offers $(complete_line 'corvane-cli --format ' "$files" | xargs)"
    [[ "$(complete_line 'corvane-cli --stems ' "$files")" == "$(accepted --stems bogus x)" ]] ||
        fail "--stems offers $(complete_line 'corvane-cli --stems ' "$files" | xargs)"
    got="$(complete_line 'corvane-cli --stems bass,vocals,d' "$files" | xargs)"
    [[ $got == "bass,vocals,drums" ]] || fail "--stems bass,vocals,d offers '$got'"
    got="$(complete_line 'corvane-cli --form' "$files" | xargs)"
    [[ $got == "--format" ]] || fail "--form offers '$got'"
    got="$(complete_line 'corvane-cli --' "$files")"
    [[ $got == "$(long_options "$root/usr/bin/corvane-cli")" ]] ||
        fail "-- offers $(xargs <<<"$got")"
    got="$(complete_line 'corvane-cli -o ' "$files" | xargs)"
    [[ $got == "Album" ]] || fail "-o offers '$got', not only folders"
    got="$(complete_line 'corvane-cli ' "$files" | xargs)"
    [[ $got == "Album song.mp3 take.FLAC" ]] || fail "songs: offers '$got'"
    ;;

lintian)
    # Errors and warnings fail, but for the one the README explains: a changelog's first entry
    # that closes no "intent to package" bug, which only a package uploaded to Debian has.
    # Informational tags are listed.
    lintian --fail-on error,warning --display-info --suppress-tags initial-upload-closes-no-bugs \
        "$(deb)" || fail "lintian reports errors or warnings"
    ;;

*)
    fail "unknown step"
    ;;
esac
