# bash completion for tesselo: command words, each command's options, and the
# pane and terminal ids that the running application lists.

# Ids from `list` of the program being completed, as typed, that begin with
# the word under the cursor: pane lines are indented by two spaces, terminal
# lines are not; the id is the first field. Nothing at all when the
# application does not answer, and never more than a moment's wait for one
# that hangs. bash inserts a candidate as it stands, and compgen -W would
# expand it, so an answer's words never pass through either unless they are
# plain.
_tesselo_ids() {
  local kind=$1 command=${2/#\~\//$HOME/} cur=$3 listing line id
  if type -P timeout >/dev/null; then
    listing=$(timeout 2 "$command" list 2>/dev/null) || return 0
  else
    listing=$("$command" list 2>/dev/null) || return 0
  fi
  while IFS= read -r line; do
    case $kind:$line in
      panes:"  "[![:space:]]*) line=${line#  } ;;
      terminals:[![:space:]]*) ;;
      *) continue ;;
    esac
    id=${line%% *}
    [[ $id == "$cur"* && $id != *[!A-Za-z0-9_.-]* ]] && printf '%s\n' "$id"
  done <<<"$listing"
}

# One candidate a line into COMPREPLY (mapfile would need bash 4, and macOS
# still ships bash 3.2).
_tesselo_reply() {
  local line
  COMPREPLY=()
  while IFS= read -r line; do COMPREPLY+=("$line"); done
}

_tesselo() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    local words="list read send split new wait notify claude-hook install-mcp install-hooks install-cli"
    _tesselo_reply < <(compgen -W "$words" -- "$cur")
    return 0
  fi

  # Options with a value, then switches; `send` alone takes text as well.
  local valued= switches= text=
  case ${COMP_WORDS[1]} in
    read) valued="--panel --lines" ;;
    send) valued="--panel" switches="--raw" text=1 ;;
    split) valued="--terminal" switches="--down" ;;
    new) valued="--space --cwd --command" switches="--worktree" ;;
    wait) valued="--panel --until --timeout" ;;
    install-hooks) switches="--uninstall" ;;
    install-cli) valued="--prefix" ;;
    *) return 0 ;;
  esac

  if [[ " $valued " == *" $prev "* ]]; then
    case $prev in
      --panel) _tesselo_reply < <(_tesselo_ids panes "${COMP_WORDS[0]}" "$cur") ;;
      --terminal) _tesselo_reply < <(_tesselo_ids terminals "${COMP_WORDS[0]}" "$cur") ;;
      --until) _tesselo_reply < <(compgen -W "working blocked idle" -- "$cur") ;;
      --cwd | --prefix)
        compopt -o filenames 2>/dev/null
        _tesselo_reply < <(compgen -d -- "$cur")
        ;;
      --command) _tesselo_reply < <(compgen -c -- "$cur") ;;
    esac
    return 0
  fi

  # Only an option's first occurrence counts, so a given one is not offered again.
  if [[ $cur == -* || ! $text ]]; then
    local option offered=() i
    for option in $valued $switches; do
      for ((i = 2; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == "$option" ]] && continue 2
      done
      offered+=("$option")
    done
    _tesselo_reply < <(compgen -W "${offered[*]}" -- "$cur")
  fi
  return 0
}

complete -F _tesselo tesselo tesselo-cli
