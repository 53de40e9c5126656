# bash completion for folioset-cli                              -*- shell-script -*-
#
# Each command has one list of its options. An option that takes a value names the kind of
# value after a colon; the kinds are completed by _folioset_cli_value below. A new option is
# one more word in its command's list.

_folioset_cli_commands="show brand extract list verify"
_folioset_cli_common_options="--quiet -q --code-page:codepage --help -h --version"
declare -gA _folioset_cli_options=(
    [show]="--json -j --json-lines --raw --all --ca:path --template:template --names"
    [brand]="--set:assignment -s:assignment --values:json --icon:ico --output:path -o:path
             --json -j --json-lines --dry-run -n --check --keep-going --backup --manifest:manifest
             --sign-pkcs12:path --sign-cert:path --sign-key:path --sign-password-file:path
             --sign-description:text --sign-url:text --timestamp:text
             --timestamp-ca:path --timestamp-timeout:text --sign-command:text
             --sign-digest:digest --sign-chain:path --sign-pkcs11:text
             --pkcs11-module:path"
    [extract]="--force --no-dates"
    [list]="--json -j --json-lines"
    [verify]="--json -j --json-lines --ca:path --allow-unsigned"
)
# What each command's operands are, in order; a kind ending in ... takes the rest.
declare -gA _folioset_cli_operands=(
    [show]="book..."
    [brand]="book..."
    [extract]="book folder"
    [list]="book..."
    [verify]="book..."
)

# Completes a value of the given kind in COMPREPLY.
_folioset_cli_value()
{
    case $1 in
        book) _filedir exe ;;
        ico) _filedir ico ;;
        json)
            _filedir json
            [[ - == "$cur"* ]] && COMPREPLY+=(-)
            ;;
        manifest)
            _filedir '@(csv|jsonl)'
            [[ - == "$cur"* ]] && COMPREPLY+=(-)
            ;;
        folder) _filedir -d ;;
        path) _filedir ;;
        digest) COMPREPLY=($(compgen -W "sha256 sha384 sha512" -- "$cur")) ;;
        template) COMPREPLY=($(compgen -W "csv jsonl" -- "$cur")) ;;
        assignment) _folioset_cli_names ;;
        codepage) COMPREPLY=($(compgen -W "874 932 936 949 950 1250 1251 1252 1253 1254 1255 1256 1257 1258" -- "$cur")) ;;
        *) COMPREPLY=() ;;
    esac
}

# The names of the brandable variables of the books on the command line, as NAME= in
# COMPREPLY; the program itself reads them (show --names).
_folioset_cli_names()
{
    COMPREPLY=()
    [[ $cur == *=* ]] && return
    local books=() name i ended=false commanded=false
    for ((i = 1; i < ${#words[@]}; i++)); do
        local word=${words[i]}
        if ((i == cword)); then
            continue
        elif ! $ended && [[ $word == -- ]]; then
            ended=true
        elif ! $ended && [[ $word == -* ]]; then
            # An option's value that follows it is no book.
            [[ $word != *=* && -n $(_folioset_cli_value_kind "$command" "$word") ]] && ((i++))
        elif ! $commanded; then
            commanded=true # the command itself
        elif [[ -f $word ]]; then
            books+=("$word")
        fi
    done
    ((${#books[@]})) || return
    while IFS= read -r name; do
        [[ $name == "$cur"* ]] && COMPREPLY+=("$name=")
    done < <("${words[0]}" show --names --quiet -- "${books[@]}" 2>/dev/null)
    compopt -o nospace 2>/dev/null
}

# The kind of value the option takes, or nothing for a flag.
_folioset_cli_value_kind()
{
    local command=$1 option=$2 entry
    for entry in ${_folioset_cli_options[$command]} $_folioset_cli_common_options; do
        [[ $entry == "$option":* ]] && echo "${entry#*:}" && return
    done
}

_folioset_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    # The command is the first word that is not an option.
    local command="" i
    for ((i = 1; i < cword; i++)); do
        [[ ${words[i]} != -* ]] && command=${words[i]} && break
    done
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--help -h --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$_folioset_cli_commands" -- "$cur"))
        fi
        return
    fi
    [[ -v _folioset_cli_options[$command] ]] || return

    local kind
    kind=$(_folioset_cli_value_kind "$command" "$prev")
    if [[ -n $kind ]]; then
        _folioset_cli_value "$kind"
        return
    fi
    $split && return

    # Count the operands before this word; after "--" every word is one.
    local operands=0 ended=false
    for ((i = i + 1; i < cword; i++)); do
        if $ended || [[ ${words[i]} != -* || ${words[i]} == - ]]; then
            operands=$((operands + 1))
        elif [[ ${words[i]} == -- ]]; then
            ended=true
        elif [[ ${words[i]} != *=* && -n $(_folioset_cli_value_kind "$command" "${words[i]}") ]]; then
            i=$((i + 1))
        fi
    done

    if [[ $cur == -* ]] && ! $ended; then
        local entry names=""
        for entry in ${_folioset_cli_options[$command]} $_folioset_cli_common_options; do
            names+=" ${entry%%:*}"
        done
        COMPREPLY=($(compgen -W "$names" -- "$cur"))
        return
    fi

    local kinds=(${_folioset_cli_operands[$command]})
    local last=$((${#kinds[@]} - 1))
    if ((operands < last)); then
        _folioset_cli_value "${kinds[operands]}"
    elif ((operands == last)) || [[ ${kinds[last]} == *... ]]; then
        _folioset_cli_value "${kinds[last]%...}"
    fi
} &&
    complete -F _folioset_cli folioset-cli

# ex: filetype=sh
