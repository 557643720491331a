#!/bin/bash
# The manual pages of the programs people run, made with help2man from their --help and
# --version, and from man/PROGRAM.h2m: the sections that --help has no room for (FILES,
# EXAMPLES, SEE ALSO). The "Exit status:" paragraph of --help becomes the page's EXIT STATUS.
# The board's build can't run its own programs, so the pages live in the tree (man/) and are
# installed from there (aipeer's and mkupdate's); the host suite checks that they still say
# what --help says, that each has its sections, that their examples are literal blocks, and
# that mandoc finds nothing in them to warn of.
# Commands in --help are indented lines that begin with "$ ": help2man sets them apart, and
# the page shows them as typed, one per line (a filled paragraph would run them together).
#   scripts/man-pages.sh BUILD            writes man/PROGRAM.1 for every program below
#   scripts/man-pages.sh --check BUILD    fails when a page differs from what the programs say
#                                         now (the month aside)
# BUILD is a host build folder, with mkupdate, aipeer, rehearse and powercut.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
check=""
if [ "${1:-}" = "--check" ]; then check=yes; shift; fi
[ $# -eq 1 ] || { echo "usage: man-pages.sh [--check] BUILD" >&2; exit 2; }
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
sections=("NAME" "SYNOPSIS" "DESCRIPTION" "EXIT STATUS" "FILES" "EXAMPLES" "SEE ALSO")
paged=()
# The faults of a page's examples, one per line, none when each is a literal block (.nf/.fi
# or .EX/.EE) that nroff prints as written: in EXAMPLES, each paragraph outside them is a
# caption ending in ":" with its commands after it; anywhere, a command of --help ("$ ").
example_faults() {  # page
    perl -0ne '
        my $page = $_;
        my ($examples) = $page =~ /^\.SH "?EXAMPLES"?\n(.*?)(?=^\.SH |\z)/ms;
        $examples = "" unless defined $examples;
        $examples =~ s/^\.(?:nf|EX)\n.*?^\.(?:fi|EE)\n/\0\n/gms;
        my @lines = split /\n/, $examples;
        for (my $at = 0; $at < @lines; $at++) {
            next if $lines[$at] =~ /^(\.|\0|$)/;
            my $end = $at;
            $end++ while $end + 1 < @lines && $lines[$end + 1] !~ /^(\.|\0|$)/;
            my $next = $end + 1;
            $next++ while $next < @lines && $lines[$next] =~ /^(\.|$)/;
            if ($lines[$end] !~ /:$/ || $next >= @lines || $lines[$next] ne "\0") {
                print "EXAMPLES: filled, not a literal block: $lines[$at]\n";
            }
            $at = $end;
        }
        $page =~ s/^\.(?:nf|EX)\n.*?^\.(?:fi|EE)\n//gms;
        print "a command of --help filled: $1\n" while $page =~ /^(?:\\f\(CW)?(\$ .*)$/mg;
    ' "$1"
}
# --help as help2man reads it. help2man joins a paragraph's lines only when they are indented
# alike, and takes a line that begins with an option as one item: a list item ("label: text")
# or an option whose lines hang deeper, a usage line that wraps ("[..."), or an option's
# sentence that goes on below it would come out as paragraphs cut mid-sentence, or run into
# the next. Each such item becomes one line; a two-column row (help2man reads those), a
# command ("$ ") and the text at the left margin stay as they are.
cat >"$work/help-items.pl" <<'PERL'
my ($item, $itemDepth, $option, $joined);
sub flush { print "$item\n" if defined $item; undef $item; }
sub rows { $_[0] =~ /^ *\S(?:.*?\S)?  +\S/ }
while (<STDIN>) {
    chomp;
    my $depth = length((/^( *)/)[0]);
    if (!/\S/ || /^ *\$ /) { flush(); print "$_\n"; next; }
    my $hangs = defined $item && $itemDepth > 0 && !rows($item) && $depth > $itemDepth &&
        (/^ *\[/ || $option || $item =~ /^ *\S+(?: \S+){0,2}: \S/);
    my $goesOn = defined $item && $option && $depth == $itemDepth && !rows($_) &&
        !($item =~ /[.:]$/ && /^ *[-A-Z]/);
    if ($hangs || $goesOn) {
        s/^ +//;
        $item .= " $_";
        $joined = 1;
        next;
    }
    # A new item beside a joined one or an option's is a paragraph of its own.
    my $starts = /^ *-/ && !rows($_);
    my $apart = defined $item && $depth == $itemDepth && ($starts || $joined);
    flush();
    print "\n" if $apart;
    ($item, $itemDepth, $option, $joined) = ($_, $depth, $starts, 0);
}
flush();
PERL
page() {  # program path, name, summary
    local program=$1 name=$2 out="$work/$2.1"
    # help2man names the page after the program it runs: a wrapper of the program's own
    # name, whose --help goes through help-items.pl.
    mkdir -p "$work/$name"
    # shellcheck disable=SC2016 # the wrapper's own "$1" and "$@"
    printf '#!/bin/bash\nif [ "$1" = --help ]; then %q --help | perl %q; else exec %q "$@"; fi\n' \
        "$program" "$work/help-items.pl" "$program" >"$work/$name/$name"
    chmod +x "$work/$name/$name"
    # The first line of --version only: the next names the commit, which each commit changes.
    help2man --no-info --no-discard-stderr --name "$3" --include "$here/man/$name.h2m" \
        --version-string "$("$program" --version | head -n 1)" --output "$out" "$work/$name/$name"
    # help2man dates a page "Month Year", which man pages' readers can't parse: the first of
    # that month, as a date they read.
    local month
    month=$(sed -n 's/^\.TH [^ ]* "[^"]*" "\([A-Z][a-z]* [0-9]*\)".*/\1/p' "$out")
    [ -z "$month" ] || sed -i "/^\.TH /s/\"$month\"/\"$(date -d "1 $month" +%Y-%m-%d)\"/" "$out"
    # --help ends with its exit status, as a paragraph or a list under "Exit status:": the
    # page's section of that name.
    perl -0pi -e 's/^\.PP\nExit status: */.SH "EXIT STATUS"\n/m; s/^\.SS "Exit status:"$/.SH "EXIT STATUS"/m' "$out"
    # help2man sets the commands of --help in constant width, a line each, but fills them
    # still (a long one wraps, its blanks squeezed): a literal block instead, as typed, its
    # minus signs ones that a copied command still takes.
    perl -0pi -e 's{^\.IP\n((?:\\f\(CW\$ .*\\fR\n(?:\.br\n)?)+)}{
        my $block = $1; $block =~ s/^\.br\n//mg; $block =~ s/^\\f\(CW(.*)\\fR$/$1/mg;
        $block =~ s/-/\\-/g; ".IP\n.nf\n$block.fi\n" }gme' "$out"
    local section
    for section in "${sections[@]}"; do
        if ! grep -Eq "^\.SH \"?$section\"?$" "$out"; then
            echo "man-pages: the page of $name has no $section" >&2
            status=1
        fi
    done
    local faults
    faults=$(example_faults "$out")
    if [ -n "$faults" ]; then
        while IFS= read -r fault; do
            echo "man-pages: the page of $name: $fault" >&2
        done <<<"$faults"
        status=1
    fi
    paged+=("$name")
    if ! mandoc -T lint -W warning "$out" >&2; then
        echo "man-pages: mandoc warns of the page of $name" >&2
        status=1
    fi
    if [ -z "$check" ]; then
        cp "$out" "$here/man/$name.1"
        echo "man-pages: wrote man/$name.1"
    elif ! diff -u <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$here/man/$name.1") \
                   <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$out"); then
        echo "man-pages: man/$name.1 differs from $name --help; run scripts/man-pages.sh" >&2
        status=1
    fi
}
page "$build/mkupdate" mkupdate "build, check and list update images of the BT-LAP update daemon"
page "$build/aipeer" aipeer "talk to the BT-LAP update daemon as its peer"
page "$build/rehearse" rehearse "report what an update did in a rehearsal's runs"
page "$here/scripts/rehearse.sh" rehearse.sh "rehearse an update on simulated twins of real boards"
page "$here/scripts/capture-board.sh" capture-board.sh "capture a board's state into a board folder"
page "$here/sim/seed-board" seed-board "seed the simulated board from a board's folder"
page "$here/sim/make-fleet" make-fleet "make a fleet of board folders for a rehearsal"
page "$here/sim/board-run" board-run "run a command on the simulated board"
page "$here/scripts/page-screenshot.sh" page-screenshot.sh "draw a rehearsal's page in headless Chromium"
page "$here/scripts/fleet-benchmark.sh" fleet-benchmark.sh "time and measure the plan of a large fleet"
page "$build/powercut" powercut "build and check the states a power cut could leave in the board's /etc"
page "$here/scripts/power-cut-check.sh" power-cut-check.sh "check an update against power cuts at every write under /etc"
page "$build/rollout" rollout "decide a rollout of an update image in waves"
page "$here/scripts/rollout.sh" rollout.sh "roll an update image out to boards in waves, held to their plan"
page "$here/sim/field-ssh" field-ssh "a stand-in for ssh to simulated boards in the field"
# Every page's additions have their program above: one left out would go stale unseen.
for include in "$here"/man/*.h2m; do
    name=$(basename "$include" .h2m)
    if [[ " ${paged[*]} " != *" $name "* ]]; then
        echo "man-pages: man/$name.h2m has no program here" >&2
        status=1
    fi
done
exit $status
