#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fault injection: plants one small fault (a mutant) at a time in the source,
# rebuilds the test programs that can see it, runs them and tells whether any
# test noticed. A mutant no test notices marks a behaviour the tests leave open.
#
# Usage: tools/fault-injection.sh [-b BUILD_DIR] [-k] [-c] [-t SECONDS] [LIST[:N] ...]
#
#   LIST       a mutation list: a name in tools/mutations/ (midi, morphs, engine, link, log,
#              usb, usb-channel, platform-alsa, platform-qt, platform-linux, core, network) or the path of a list file;
#              every list in tools/mutations/ when none is given
#   LIST:N     only mutant N of that list (numbered from 1 as the output shows)
#   -b DIR     the build directory, configured already (default build/default)
#   -k         keep going: run every mutant; without -k the run stops at the first
#              mutant that survives or is stale
#   -c         check the lists only: report stale mutants, build and run nothing
#   -t SECONDS time limit of one test program under a mutant (default: four times its
#              unmutated run time plus 10 s, at most the program's test timeout in CTest);
#              a mutant that runs past it hangs: killed
#   -h         this text
#
# Mutation lists (tools/mutations/<layer>.txt) hold blocks like
#
#     # why this mutant matters (optional: comment lines right above it)
#     @ src/midi/MIDIEvent.cpp
#     - <exact text of a fragment of one line: it must occur exactly once in the file>
#     + <what replaces it>
#     = equivalent: <why no test can tell the difference>   (optional)
#
# "@ file" holds for the mutants after it until the next "@"; one space follows
# each marker and the rest of the line is taken as it is. A mutant marked "=" is
# listed and checked for staleness, but neither run nor counted.
#
# For each mutant: the fragment must occur exactly once (else "stale", skipped);
# it is replaced, and the test programs of the mutated layer and of the headless
# layers built on it are built and run one by one, nearest first, until one fails
# ("killed", also on a crash or past the time limit) or all pass ("survived"). A
# mutant that does not build is "not compiled". The file is then restored from a
# copy and checked (byte for byte, and with git diff when it had no uncommitted
# change): whatever ends the run (Ctrl-C, SIGTERM, an error), the EXIT/INT/TERM
# traps restore it; a run ended by SIGKILL leaves its copy in BUILD_DIR, and the
# next run restores it before anything else.
#
# Prints one line per mutant, then the score of each layer and of the whole run:
# killed/total (NN %), where total counts killed and survived mutants only
# (equivalent, stale and not compiled ones are set aside). Before the first mutant the unmutated tests must pass.
# Exit status: 0 when no mutant survived or was stale, 1 otherwise, 2 on a usage
# or list error or failing unmutated tests, 3 when a file could not be restored.
set -uo pipefail

ROOT=$(git -C "$(dirname "${BASH_SOURCE[0]}")/.." rev-parse --show-toplevel) || exit 2
cd "$ROOT" || exit 2

# Headless test programs that link each layer's library, nearest first: the
# layer's own tests, then those of the layers built on it (the DEPS in
# src/*/CMakeLists.txt). A layer is a folder under src/; a file belongs to the
# deepest layer that holds it (src/usb/channel/ before src/usb/). Left out:
# ui_tests and app_tests (windows), the suites that need privileges or a kernel
# sequencer (platform_alsa_sequencer_tests, the real-daemon cases skip without
# root), the chaos runs (long by design), and usb_tests under midi (the USB
# layer reaches the MIDI library only through the log's headers and never
# handles a MIDI event).
declare -A LAYER_TESTS=(
    [midi]="midi_tests morphs_tests engine_tests link_tests log_tests"
    [morphs]="morphs_tests engine_tests link_tests"
    [link]="link_tests engine_tests"
    [engine]="engine_tests"
    [log]="log_tests morphs_tests link_tests usb_tests engine_tests"
    [usb/channel]="usb_tests usb_integration_tests engine_tests"
    [usb]="usb_tests usb_integration_tests engine_tests"
    [platform/alsa]="platform_alsa_tests"
    [platform/qt]="platform_qt_tests"
    [core]="core_tests platform_qt_tests log_tests engine_tests"
    [platform/linux]="platform_linux_tests"
    [network]="network_tests"
)
# Where a test program is built, when not in tests/<name without _tests>/.
declare -A TEST_DIR=(
    [usb_integration_tests]=usb
    [platform_alsa_tests]=platform/alsa
    [platform_qt_tests]=platform/qt
    [platform_linux_tests]=platform/linux
)
# The per-test timeout CTest gives each program (velorin_add_test's TIMEOUT; 120 s
# when none is set): a mutant that hangs is killed no later than that.
declare -A TEST_TIMEOUT=(
    [usb_tests]=60
    [platform_alsa_tests]=60
    [platform_qt_tests]=60
)

usage() { sed -n '3,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; }
die() { echo "fault-injection: $*" >&2; exit 2; }

build_dir=build/default
keep_going=0
check_only=0
time_limit=
while getopts ":b:kct:h" opt; do
    case $opt in
        b) build_dir=$OPTARG ;;
        c) check_only=1 ;;
        k) keep_going=1 ;;
        t) [[ $OPTARG =~ ^[0-9]+$ && $OPTARG -gt 0 ]] || die "-t wants whole seconds"; time_limit=$OPTARG ;;
        h) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# --- restoring ----------------------------------------------------------------------

active_file=   # the file that holds a mutant right now
was_clean=0    # it had no uncommitted change before the mutant
child=         # the build or test running now (its own process group)

restore() {
    [[ -n $active_file ]] || return 0
    if ! cp "$state/backup" "$active_file" || ! cmp -s "$state/backup" "$active_file" ||
        { ((was_clean)) && ! git diff --quiet -- "$active_file"; }; then
        echo "fault-injection: could not restore $active_file; its original is $state/backup" >&2
        exit 3
    fi
    active_file=
    rm -f "$state/active" "$state/backup"
}

stop_child() {
    if [[ -n $child ]]; then
        kill -TERM -- "-$child" 2>/dev/null
        wait "$child" 2>/dev/null
        child=
    fi
}

on_signal() {
    trap - INT TERM HUP
    stop_child
    restore
    echo "fault-injection: interrupted; sources restored" >&2
    exit $((128 + $1))
}
trap 'stop_child; restore' EXIT
trap 'on_signal 2' INT
trap 'on_signal 15' TERM
trap 'on_signal 1' HUP

# Runs a command, its output to the file $1, in its own process group so that an
# interrupt can end all of it (the build's compilers, a test's children); returns
# its exit status. (The redirection is the child's own, not the function's, so
# the traps still write to the terminal.)
run_child() {
    local log=$1
    shift
    setsid "$@" </dev/null >"$log" 2>&1 9>&- &
    child=$!
    wait "$child"
    local rc=$?
    child=
    return $rc
}

# --- the mutants --------------------------------------------------------------------

lists=()   # list file per argument
picks=()   # the mutant number asked for, or 0 for all
if (($# == 0)); then
    for f in tools/mutations/*.txt; do lists+=("$f"); picks+=(0); done
    ((${#lists[@]})) || die "no lists in tools/mutations/"
fi
for arg in "$@"; do
    name=$arg pick=0
    if [[ $arg =~ ^(.+):([0-9]+)$ ]]; then name=${BASH_REMATCH[1]}; pick=${BASH_REMATCH[2]}; fi
    if [[ -f $name ]]; then
        lists+=("$name")
    elif [[ -f tools/mutations/$name.txt ]]; then
        lists+=("tools/mutations/$name.txt")
    else
        die "no mutation list $name"
    fi
    picks+=("$pick")
done

# One record per mutant, its fields NUL-terminated: list name, number, list line,
# file, comment, fragment, replacement, equivalence reason (empty: none).
parse_list() {
    perl -e '
        use strict; use warnings;
        my ($path, $pick) = @ARGV;
        (my $name = $path) =~ s{.*/}{}; $name =~ s{\.txt$}{};
        open my $fh, "<", $path or die "fault-injection: $path: $!\n";
        my ($file, $m, @why, @all);
        my $fail = sub { die "fault-injection: $path:$.: $_[0]\n" };
        while (my $line = <$fh>) {
            chomp $line;
            if ($line =~ /^\s*$/) { @why = (); next }
            if ($line =~ /^#\s?(.*)$/) { push @why, $1; next }
            my ($mark, $text) = $line =~ /^([-+=@])(?: (.*))?$/ or $fail->("not a list line: $line");
            $text //= "";
            if ($mark eq "@") { $text ne "" or $fail->("@ wants a file"); -f $text or $fail->("no file $text"); $file = $text; next }
            if ($mark eq "-") {
                defined $file or $fail->("a mutant before any \"@ file\"");
                $text ne "" or $fail->("empty fragment");
                $m = { line => $., file => $file, why => join(" ", @why), from => $text };
                push @all, $m; @why = (); next;
            }
            $m or $fail->("\"$mark\" without a \"-\" line before it");
            if ($mark eq "+") { exists $m->{to} and $fail->("second \"+\""); $m->{to} = $text; next }
            exists $m->{to} or $fail->("\"=\" before \"+\"");
            $text =~ /^equivalent:\s*(\S.*)$/ or $fail->("write \"= equivalent: <reason>\"");
            $m->{eq} = $1;
        }
        for my $i (0 .. $#all) {
            my $x = $all[$i];
            exists $x->{to} or die "fault-injection: $path:$x->{line}: a mutant without \"+\"\n";
            $x->{from} ne $x->{to} or die "fault-injection: $path:$x->{line}: \"+\" repeats \"-\"\n";
            next if $pick && $pick != $i + 1;
            print join("\0", $name, $i + 1, $x->{line}, $x->{file}, $x->{why}, $x->{from}, $x->{to}, $x->{eq} // ""), "\0";
        }
        $pick <= @all or die "fault-injection: $path has " . scalar(@all) . " mutants, not $pick\n";
    ' "$1" "$2"
}

records=()
for i in "${!lists[@]}"; do
    mapfile -d '' -O "${#records[@]}" records < <(parse_list "${lists[$i]}" "${picks[$i]}") || exit 2
    wait $! || exit 2
done
((${#records[@]} % 8 == 0)) || die "could not read the lists"

# Where a fragment is (exit 0 and its line), or how often it occurs (exit 3).
# With "apply", the one occurrence is replaced.
locate() {
    perl -e '
        my ($file, $from, $to, $apply) = @ARGV;
        open my $fh, "<", $file or die "$file: $!\n"; local $/; my $text = <$fh>; close $fh;
        my $count = () = $text =~ /\Q$from\E/g;
        if ($count != 1) { print "$count\n"; exit 3 }
        my $at = index $text, $from;
        if ($apply) {
            substr($text, $at, length $from) = $to;
            open $fh, ">", $file or die "$file: $!\n"; print $fh $text; close $fh or die "$file: $!\n";
        }
        print 1 + (substr($text, 0, $at) =~ tr/\n//), "\n";
    ' "$@"
}

layer_of() {
    [[ $1 == src/*/* ]] || return 1
    local layer=${1#src/}
    layer=${layer%/*}
    while [[ -n $layer ]]; do
        if [[ -n ${LAYER_TESTS[$layer]:-} ]]; then
            echo "$layer"
            return 0
        fi
        [[ $layer == */* ]] || return 1
        layer=${layer%/*}
    done
    return 1
}

if ((check_only)); then
    bad=0
    for ((r = 0; r < ${#records[@]}; r += 8)); do
        status=ok
        [[ -n ${records[r + 7]} ]] && status=equivalent
        if ! line=$(locate "${records[r + 3]}" "${records[r + 5]}" "" ""); then
            status=stale line="? (found $line times)" bad=1
        fi
        layer_of "${records[r + 3]}" >/dev/null || { status="no layer" bad=1; }
        printf '%-11s %-10s %s:%s\n' "$status" "${records[r]}:${records[r + 1]}" "${records[r + 3]}" "$line"
    done
    exit $bad
fi

# --- the build directory ----------------------------------------------------------

[[ -f $build_dir/CMakeCache.txt ]] || die "$build_dir is not a configured build directory (cmake --preset default)"
state=$build_dir/fault-injection
mkdir -p "$state" || exit 2
exec 9>"$state/lock"
flock -n 9 || die "another run is using $build_dir"

# A run ended by SIGKILL left its mutant in place: put the original back first.
if [[ -f $state/active ]]; then
    left=$(<"$state/active")
    [[ -f $state/backup ]] || die "$left may hold a mutant and its copy is gone: check it with git diff"
    active_file=$left was_clean=0
    restore
    echo "fault-injection: restored $left, left mutated by an earlier run" >&2
fi

# --- the unmutated build and tests --------------------------------------------------

declare -A limit_of   # test program -> time limit in seconds
needed=()
for ((r = 0; r < ${#records[@]}; r += 8)); do
    layer=$(layer_of "${records[r + 3]}") ||
        die "${records[r]}.txt:${records[r + 2]}: ${records[r + 3]} is in no layer the script knows (${!LAYER_TESTS[*]})"
    for t in ${LAYER_TESTS[$layer]}; do
        [[ " ${needed[*]} " == *" $t "* ]] || needed+=("$t")
    done
done

test_binary() { echo "$build_dir/tests/${TEST_DIR[$1]:-${1%_tests}}/$1"; }

build() { run_child "$state/build.log" cmake --build "$build_dir" --target "$@"; }

# Runs one test program from its build folder (as ctest does), stopping at the
# first failing test. Exit status 124 or 137: past the time limit.
run_tests() {
    local binary
    binary=$(test_binary "$1")
    run_child "$state/test.log" env -C "$(dirname "$binary")" QT_QPA_PLATFORM=offscreen \
        timeout -k 5 "$2" "./$1" --gtest_brief=1 --gtest_fail_fast
}

start=$(date +%s)
echo "Building ${needed[*]} in $build_dir"
build "${needed[@]}" || { tail -n 30 "$state/build.log" >&2; die "the unmutated tree does not build"; }
for t in "${needed[@]}"; do
    t0=$(date +%s%N)
    run_tests "$t" 3600 || { tail -n 30 "$state/test.log" >&2; die "$t fails without any mutant: fix that first"; }
    ms=$((($(date +%s%N) - t0) / 1000000))
    limit=$((4 * ms / 1000 + 10)) cap=${TEST_TIMEOUT[$t]:-120}
    ((limit > cap)) && limit=$cap
    limit_of[$t]=${time_limit:-$limit}
    printf '  %-14s passes unmutated in %d.%d s (limit %d s)\n' "$t" $((ms / 1000)) $((ms % 1000 / 100)) "${limit_of[$t]}"
done

# --- the run ------------------------------------------------------------------------

killed=0 survived=0 not_compiled=0 stale=0 equivalent=0
declare -A layer_killed layer_survived   # per layer, for the summary
layers_seen=()
for ((r = 0; r < ${#records[@]}; r += 8)); do
    id="${records[r]}:${records[r + 1]}" file=${records[r + 3]} why=${records[r + 4]}
    from=${records[r + 5]} to=${records[r + 6]} eq=${records[r + 7]}
    what=${why:-"${from//[[:space:]]/ } -> ${to//[[:space:]]/ }"}
    (( ${#what} > 90 )) && what="${what:0:87}..."

    if ! line=$(locate "$file" "$from" "" ""); then
        printf '%-13s %-10s %s (fragment found %s times; list line %s)\n' "stale" "$id" "$file" "$line" "${records[r + 2]}"
        ((++stale))
        ((keep_going)) && continue
        break
    fi
    if [[ -n $eq ]]; then
        printf '%-13s %-10s %s:%s  %s — %s\n' "equivalent" "$id" "$file" "$line" "$what" "$eq"
        ((++equivalent))
        continue
    fi

    m0=$(date +%s)
    was_clean=0
    git diff --quiet -- "$file" && was_clean=1
    cp "$file" "$state/backup" || exit 2
    printf '%s\n' "$file" >"$state/active"
    active_file=$file
    locate "$file" "$from" "$to" apply >/dev/null || { restore; die "could not apply $id"; }

    outcome=survived detail=
    for t in ${LAYER_TESTS[$(layer_of "$file")]}; do
        if ! build "$t"; then
            outcome="not compiled"
            detail=$(grep -m1 -E 'error:' "$state/build.log" | sed -E 's/^.*error: //' | cut -c1-60)
            break
        fi
        run_tests "$t" "${limit_of[$t]}"
        rc=$?
        if ((rc == 124 || rc == 137)); then
            outcome=killed detail="$t: hung past ${limit_of[$t]} s"
            break
        elif ((rc != 0)); then
            failed=$(grep -m1 -E '^\[  FAILED  \] [A-Za-z_]' "$state/test.log" | sed -E 's/^\[  FAILED  \] ([^ ,]+).*/\1/')
            outcome=killed detail="$t${failed:+: $failed}"
            ((rc > 128)) && detail="$t: crashed (signal $((rc - 128)))"
            break
        fi
    done
    restore

    layer=$(layer_of "$file")
    [[ " ${layers_seen[*]} " == *" $layer "* ]] || layers_seen+=("$layer")
    case $outcome in
        killed) ((++killed)); layer_killed[$layer]=$((${layer_killed[$layer]:-0} + 1)) ;;
        survived) ((++survived)); layer_survived[$layer]=$((${layer_survived[$layer]:-0} + 1)) ;;
        "not compiled") ((++not_compiled)) ;;
    esac
    printf '%-13s %-10s %s:%s  %s  [%s%s s]\n' "$outcome" "$id" "$file" "$line" "$what" "${detail:+$detail, }" \
        $(($(date +%s) - m0))
    [[ $outcome == survived ]] && ((!keep_going)) && break
done

# The build directory is left built from the restored sources.
build "${needed[@]}" || echo "fault-injection: rebuilding the restored tree failed; see $state/build.log" >&2

total=$((killed + survived))
elapsed=$(($(date +%s) - start))
echo
echo "not compiled: $not_compiled, stale: $stale, equivalent (set aside): $equivalent, survived: $survived"
for layer in "${layers_seen[@]}"; do
    k=${layer_killed[$layer]:-0} n=$((${layer_killed[$layer]:-0} + ${layer_survived[$layer]:-0}))
    ((n > 0)) && printf '  %-20s %3d/%-3d (%d %%)\n' "src/$layer/" "$k" "$n" $((100 * k / n))
done
if ((total > 0)); then
    echo "score: $killed/$total ($((100 * killed / total)) %)"
else
    echo "score: no mutant ran"
fi
printf 'wall clock: %dm%02ds\n' $((elapsed / 60)) $((elapsed % 60))
((survived == 0 && stale == 0))
