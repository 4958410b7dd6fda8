#!/usr/bin/env bash
# Runs the bash completion of tarvel in bash, as readline would call it, and
# checks what it offers:
#   completion_test.sh COMPLETION-SCRIPT TARVEL-PROGRAM
# The subcommands and options come from the program's --help; a stand-in
# program shows that options added to the help are offered without a change
# to the script; a stand-in bluetoothctl lists paired peers.
set -uo pipefail
script=$1
program=$2
helpers=/usr/share/bash-completion/bash_completion
if [ ! -r "$helpers" ]; then
  echo "SKIPPED: bash-completion is not installed (apt-get install bash-completion)"
  exit 77
fi
# shellcheck source=/dev/null
source "$helpers"
# shellcheck source=/dev/null
source "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# complete LINE: what the completion offers at the end of LINE, one a line.
# The words are split as readline splits them: at blanks, and around each
# ':' and '='.
complete_line() {
  local line=$1
  COMP_LINE=$line
  COMP_POINT=${#line}
  local spaced=${line//:/ : }
  spaced=${spaced//=/ = }
  read -r -a COMP_WORDS <<<"$spaced"
  [[ $line == *" " || $line == *: || $line == *= ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tarvel
  printf '%s\n' "${COMPREPLY[@]}"
}

# expect_all LINE WORD...: each WORD is offered. expect_none LINE WORD...: none is.
expect_all() {
  local line=$1 offered word
  shift
  offered=$(complete_line "$line")
  for word in "$@"; do
    grep -qxF -- "$word" <<<"$offered" || fail "'$line' does not offer '$word'; it offers: $(echo $offered)"
  done
}
expect_none() {
  local line=$1 offered word
  shift
  offered=$(complete_line "$line")
  for word in "$@"; do
    grep -qxF -- "$word" <<<"$offered" && fail "'$line' offers '$word'"
  done
}
expect_exactly() {
  local line=$1 offered
  shift
  offered=$(complete_line "$line" | sort)
  [ "$offered" = "$(printf '%s\n' "$@" | sort)" ] ||
    fail "'$line' offers: $(echo $offered); expected: $*"
}

# Subcommands and options of the real program.
expect_exactly "$program " cable demo get list listen poll pull register send text
expect_exactly "$program li" list listen
expect_all "$program --" --port --device --root --codepage --quiet --version --help
expect_all "$program -" -q -h
expect_all "$program listen --" --once --device --root --port --codepage --quiet --help
expect_none "$program listen --" --version --fetch --timeout
expect_all "$program list --" --fetch --timeout
expect_exactly "$program get --t" --timeout
expect_exactly "$program --device /dev/null --root /tmp se" send
# Every option that a subcommand's help names is offered after it.
for subcommand in $(complete_line "$program "); do
  names=$("$program" "$subcommand" --help | grep -oE '^  (-[a-z],)?--[a-z-]+' | tr ',' '\n' | tr -d ' ')
  # shellcheck disable=SC2086
  expect_all "$program $subcommand -" $names
done

# Paths: local files for send and for the LOCAL of get; directories for --root.
mkdir "$work/files" "$work/files/folder"
touch "$work/files/photo.jpg" "$work/files/notes.txt"
(
  cd "$work/files" || exit 1
  expect_exactly "$program send " folder notes.txt photo.jpg
  expect_exactly "$program send photo.jpg '\\a.jpg' n" notes.txt
  expect_exactly "$program get '\\notes.txt' " folder notes.txt photo.jpg
  expect_exactly "$program get "
  expect_exactly "$program --root " folder
  exit $failures
) || failures=$((failures + $?))

# Code pages: the names iconv knows.
expect_all "$program --codepage CP125" CP1250 CP1252
expect_all "$program send --codepage=WINDOWS-125" WINDOWS-1252

# Devices: serial ttys, any path, and the paired peers bluetoothctl lists.
mkdir "$work/bin"
cat >"$work/bin/bluetoothctl" <<'STANDIN'
#!/bin/sh
echo "$*" >>"$(dirname "$0")/asked"
[ "$*" = "devices Paired" ] || exit 1
echo "Device 00:11:22:33:44:55 Phone"
echo "Device AA:BB:CC:DD:EE:0F Laptop of Ann"
STANDIN
chmod +x "$work/bin/bluetoothctl"
ttys=()
for path in /dev/tty[A-Za-z]* /dev/rfcomm*; do [ -c "$path" ] && ttys+=("$path"); done
PATH="$work/bin:$PATH" expect_exactly "$program --device " "${ttys[@]}" \
  bluetooth:00:11:22:33:44:55 bluetooth:AA:BB:CC:DD:EE:0F
grep -qx "devices Paired" "$work/bin/asked" || fail "bluetoothctl was not asked for the paired devices"
# bash splits the word at its colons: the offer is what follows the last one.
PATH="$work/bin:$PATH" expect_exactly "$program --device bluetooth:00:1" 11:22:33:44:55
PATH="$work/bin:$PATH" expect_exactly "$program listen --device blue" \
  bluetooth:00:11:22:33:44:55 bluetooth:AA:BB:CC:DD:EE:0F
expect_all "$program --device /dev/pt" /dev/pts
expect_all "$program --device /dev/pts/" /dev/pts/ptmx
expect_exactly "$program --device /dev/pts/ptm" /dev/pts/ptmx
expect_exactly "$program --port "

# A bluetoothctl that waits for a bluetoothd that never comes does not hold
# the completion up for more than a moment.
cat >"$work/bin/bluetoothctl" <<'STANDIN'
#!/bin/sh
exec sleep 60
STANDIN
started=$SECONDS
PATH="$work/bin:$PATH" expect_exactly "$program --device /nowhere/"
PATH="$work/bin:$PATH" expect_all "$program --device " "${ttys[@]}"
[ $((SECONDS - started)) -le 5 ] || fail "a hanging bluetoothctl held the completion $((SECONDS - started)) s"

# A program whose help lists options the script has never heard of: they are
# offered, with the values the help lists.
cat >"$work/bin/newer-tarvel" <<'STANDIN'
#!/bin/sh
case "$1" in
--help) printf 'Usage: tarvel [OPTIONS] SUBCOMMAND\n\nOptions:\n  -h,--help  Print\n  --device TEXT  device\n\nSubcommands:\n  listen  receive\n  send  send\n\n' ;;
listen) printf 'Usage: tarvel listen [OPTIONS]\n\nOptions:\n  -h,--help  Print\n  --on-clash TEXT:{overwrite,rename,skip}  what to do\n  --mode TEXT:{fast,slow}  pace\n' ;;
send) printf 'Usage: tarvel send [OPTIONS] LOCAL...\n\nOptions:\n  -h,--help  Print\n  --verify  ask the peer for it back and compare\n' ;;
esac
STANDIN
chmod +x "$work/bin/newer-tarvel"
newer=$work/bin/newer-tarvel
expect_exactly "$newer " listen send
expect_all "$newer send --" --verify --device --help
expect_none "$newer listen --" --verify
expect_exactly "$newer listen --on-clash " overwrite rename skip
expect_exactly "$newer listen --on-clash=re" rename
expect_exactly "$newer listen --mode " fast slow
expect_exactly "$newer listen --mode f" fast

if [ "$failures" -ne 0 ]; then
  echo "$failures completion checks failed" >&2
  exit 1
fi
echo "all completion checks passed"
