#!/usr/bin/env bash
# The shell completions offer folioset-cli's commands, every option its help lists for each
# command (which the man page names too, and whose help lines fit 80 columns), and the right
# kind of file for each option's value and each operand, and after --set the variables of the
# book on the line.
# usage: test_completion.sh FOLIOSET_CLI COMPLETION_DIR BOOK
set -uo pipefail
cli=$(realpath "$1")
completion_dir=$(realpath "$2")
book=$(realpath "$3")
# The completion asks the program on the line for a book's names.
PATH=$(dirname "$cli"):$PATH
export LC_ALL=C

source /usr/share/bash-completion/bash_completion
source "$completion_dir/folioset-cli.bash"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch book.exe OTHER.EXE brand.ico values.json notes.txt books.csv
mkdir out
cp "$book" real.exe

passed=0
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

# What bash offers at the end of LINE, sorted, on one line. The words are split as readline
# splits them, at blanks and at "=".
offered() {
  local line=$1 token
  COMP_WORDS=()
  for token in $line; do
    while [[ $token == *=* ]]; do
      COMP_WORDS+=("${token%%=*}" "=")
      token=${token#*=}
    done
    [[ -n $token ]] && COMP_WORDS+=("$token")
  done
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _folioset_cli folioset-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sort -u | xargs
}

# line | what bash must offer
cases=(
  "folioset-cli |brand extract list show verify"
  "folioset-cli show book.exe |OTHER.EXE book.exe out real.exe"
  "folioset-cli list book.exe |OTHER.EXE book.exe out real.exe"
  "folioset-cli --|--help --version"
  "folioset-cli show |OTHER.EXE book.exe out real.exe"
  "folioset-cli show --json --q|--quiet"
  "folioset-cli brand --icon |brand.ico out"
  "folioset-cli brand --icon=|brand.ico out"
  "folioset-cli brand --values |- out values.json"
  "folioset-cli brand --values=v|values.json"
  "folioset-cli brand --set |"
  "folioset-cli brand --manifest |- books.csv out"
  "folioset-cli brand -o |OTHER.EXE book.exe books.csv brand.ico notes.txt out real.exe values.json"
  "folioset-cli brand --output |OTHER.EXE book.exe books.csv brand.ico notes.txt out real.exe values.json"
  "folioset-cli brand --icon brand.ico |OTHER.EXE book.exe out real.exe"
  "folioset-cli brand --set=Author=Ann book.exe |OTHER.EXE book.exe out real.exe"
  "folioset-cli extract |OTHER.EXE book.exe out real.exe"
  "folioset-cli extract book.exe |out"
  "folioset-cli extract --force book.exe |out"
  "folioset-cli extract -- -odd.exe |out"
  "folioset-cli extract book.exe out |"
  "folioset-cli extract book.exe --|--code-page --force --help --no-dates --quiet --version"
  "folioset-cli show --code-page 125|1250 1251 1252 1253 1254 1255 1256 1257 1258"
  "folioset-cli unknown |"
  "folioset-cli show --template |csv jsonl"
  "folioset-cli brand real.exe -s |Author= Company= Copyright= Discount= Email= Title= Website="
  "folioset-cli brand --values values.json real.exe --set=Co|Company= Copyright="
  "folioset-cli -q brand -o out -s E|"
  "folioset-cli brand -s Author=A real.exe -s Author=|"
  "folioset-cli brand --icon brand.ico real.exe book.exe -s T|Title="
)
for case in "${cases[@]}"; do
  line=${case%%|*}
  expected=${case#*|}
  actual=$(offered "$line")
  if [[ $actual == "$expected" ]]; then
    passed=$((passed + 1))
  else
    fail "'$line' offers '$actual', not '$expected'"
  fi
done

# The options a help text lists.
options_in() {
  grep -oE '(^|[][ ,|])--?[a-z][a-z0-9-]*' | grep -oE -- '--?[a-z][a-z0-9-]*' | sort -u
}
# The text of one option list of the zsh completion.
zsh_list() {
  sed -n "/^$1=(/,/^)/p" "$completion_dir/_folioset-cli"
}

common=$("$cli" --help | sed -n '/^Options of every command/,$p' | options_in)
[[ -n $common ]] || fail "no options found in 'folioset-cli --help'"
for command in show brand extract list verify; do
  own=$("$cli" "$command" --help | options_in)
  [[ -n $own ]] || fail "no options found in 'folioset-cli $command --help'"
  bash_offers=" $(offered "folioset-cli $command -") "
  zsh_offers="$(zsh_list "${command}_options") $(zsh_list common_options)"
  long=$("$cli" "$command" --help | awk 'length > 80')
  [[ -z $long ]] || fail "'folioset-cli $command --help' has lines over 80 columns: $long"
  for option in $(printf '%s\n' $own $common | sort -u); do
    grep -qF -- "${option//-/\\-}" "$completion_dir/folioset-cli.1" \
      || fail "the man page does not name $command $option"
    [[ $bash_offers == *" $option "* ]] || fail "bash does not offer $command $option"
    grep -qE -- "(^|[^a-z-])$option([]=,}'[]|\$)" <<<"$zsh_offers" \
      || fail "zsh does not offer $command $option"
    passed=$((passed + 1))
  done
done

zsh -n "$completion_dir/_folioset-cli" || fail "the zsh completion does not parse"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
