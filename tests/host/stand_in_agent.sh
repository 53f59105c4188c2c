#!/bin/sh
# Stands in for Claude Code in a pane: each line typed into it is one step.
#   event NAME [DETAIL]  relays a hook event through the real relay, with the
#                        session and folder Claude Code sends
#   draw KIND            draws the bottom of Claude Code's screen: running,
#                        rest, prompt (the prompt put back in the input box),
#                        dialog (a permission dialog), quoted (the user's own
#                        text saying "esc to interrupt", at rest), typing
#                        (the next prompt typed while the turn runs)
#   write KIND           appends a line to the session's transcript as Claude
#                        Code writes them, or lines no version writes
#   quit
# Arguments: the relay program and the session id.
relay=$1
session=$2
project=$(printf '%s' "$PWD" | tr -c 'A-Za-z0-9' '-')
transcript=$HOME/.claude/projects/$project/$session.jsonl
mkdir -p "$(dirname "$transcript")"
stty -echo 2>/dev/null
echo $$ >"$HOME/agent-$session.pid"
rule=────────────────────────────────────────
now() { date -u +%Y-%m-%dT%H:%M:%S.%3NZ; }
user() { printf '{"type":"user","message":{"role":"user","content":[{"type":"text","text":"%s"}]},"timestamp":"%s"}' "$1" "$2"; }
while IFS= read -r step; do
  set -- $step
  case $1 in
  event)
    detail=
    [ -n "${3:-}" ] && detail=",\"notification_type\":\"$3\""
    printf '{"hook_event_name":"%s","session_id":"%s","cwd":"%s"%s}' "$2" "$session" "$PWD" "$detail" |
      "$relay" claude-hook
    ;;
  draw)
    case $2 in
    running) printf '%s\n⏸ manual mode on · esc to interrupt\n' "$rule" ;;
    rest) printf '%s\n⏸ manual mode on · ? for shortcuts\n' "$rule" ;;
    prompt) printf '%s\n> the prompt again\n%s\n⏸ manual mode on\n' "$rule" "$rule" ;;
    dialog) printf 'Do you want to create notes.txt?\n❯ 1. Yes\n  3. No\n%s\nEsc to cancel · Tab to amend\n' "$rule" ;;
    quoted) printf '%s\n> stop when I say esc to interrupt\n%s\n⏸ manual mode on\n' "$rule" "$rule" ;;
    typing) printf '✻ Hatching…\n%s\n❯ the next task\n%s\n⏸ manual mode on\n' "$rule" "$rule" ;;
    esac
    ;;
  write)
    case $2 in
    interrupted) user "[Request interrupted by user]" "$(now)" >>"$transcript" ;;
    tool-interrupted) user "[Request interrupted by user for tool use]" "$(now)" >>"$transcript" ;;
    api-error) printf '{"type":"assistant","isApiErrorMessage":true,"message":{"content":[{"type":"text","text":"API Error: 400"}]},"timestamp":"%s"}\n' "$(now)" >>"$transcript" ;;
    garbage) printf 'not json\n{"type":"user"\n{"message":"[Request interrupted by user]"}\n' >>"$transcript" ;;
    huge) head -c 3000000 /dev/zero | tr '\0' 'x' >>"$transcript" && echo >>"$transcript" ;;
    stale) rm -f "$transcript" && user "[Request interrupted by user]" "2001-01-01T00:00:00.000Z" >"$transcript" && echo >>"$transcript" ;;
    esac
    echo >>"$transcript"
    ;;
  quit) exit 0 ;;
  esac
done
