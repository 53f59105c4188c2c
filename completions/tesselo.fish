# fish completion for tesselo: command words, each command's options, and the
# pane and terminal ids that the running application lists.

function __tesselo_needs_command
    test (count (commandline -opc)) -eq 1
end

function __tesselo_command_is --argument-names word
    set -l tokens (commandline -opc)
    test (count $tokens) -ge 2; and test "$tokens[2]" = $word
end

# Ids from `list` of the program being completed, each with the rest of its
# line as description: pane lines are indented by two spaces, terminal lines
# are not. Only plain words are offered, as in the other shells. Nothing at
# all when the application does not answer, and never more than a moment's
# wait for one that hangs.
function __tesselo_ids --argument-names kind
    set -l program (string replace -r '^~/' ~/ -- (commandline -opc)[1])
    set -l listing
    if command -q timeout
        set listing (timeout 2 $program list 2>/dev/null); or return
    else
        set listing ($program list 2>/dev/null); or return
    end
    switch $kind
        case panes
            string replace -rf '^  ([A-Za-z0-9_.-]+)(?:\s+|$)(.*)$' '$1\t$2' -- $listing
        case terminals
            string replace -rf '^([A-Za-z0-9_.-]+)(?:\s+|$)(.*)$' '$1\t$2' -- $listing
    end
end

for program in tesselo tesselo-cli
    complete -c $program -f

    complete -c $program -n __tesselo_needs_command -a list -d 'List terminals and panes'
    complete -c $program -n __tesselo_needs_command -a read -d 'Print the screen of a pane'
    complete -c $program -n __tesselo_needs_command -a send -d 'Type text into a pane'
    complete -c $program -n __tesselo_needs_command -a split -d 'Split a terminal'
    complete -c $program -n __tesselo_needs_command -a new -d 'Open a new terminal'
    complete -c $program -n __tesselo_needs_command -a wait -d 'Wait until the agent in a pane reaches a state'
    complete -c $program -n __tesselo_needs_command -a notify -d "Ask for the user's attention"
    complete -c $program -n __tesselo_needs_command -a claude-hook -d 'Relay a Claude Code hook event (run by Claude Code)'
    complete -c $program -n __tesselo_needs_command -a install-mcp -d 'Register tesselo-mcp with Claude Code'
    complete -c $program -n __tesselo_needs_command -a install-hooks -d 'Add the tesselo hooks to the Claude Code settings'
    complete -c $program -n __tesselo_needs_command -a install-cli -d 'Link tesselo into a directory on the search path'

    complete -c $program -n '__tesselo_command_is read' -l panel -x -a '(__tesselo_ids panes)' -d 'Pane to read'
    complete -c $program -n '__tesselo_command_is read' -l lines -x -d 'How many bottom lines'

    complete -c $program -n '__tesselo_command_is send' -l panel -x -a '(__tesselo_ids panes)' -d 'Pane to type into'
    complete -c $program -n '__tesselo_command_is send' -l raw -d 'Do not press return after the text'

    complete -c $program -n '__tesselo_command_is split' -l terminal -x -a '(__tesselo_ids terminals)' -d 'Terminal to split'
    complete -c $program -n '__tesselo_command_is split' -l down -d 'Split downwards instead of to the right'

    complete -c $program -n '__tesselo_command_is new' -l space -x -d 'Space to file the terminal under'
    complete -c $program -n '__tesselo_command_is new' -l cwd -x -a '(__fish_complete_directories)' -d 'Directory to start in'
    complete -c $program -n '__tesselo_command_is new' -l worktree -d 'Start in a new git worktree'
    complete -c $program -n '__tesselo_command_is new' -l command -x -a '(__fish_complete_command)' -d 'Command to run'

    complete -c $program -n '__tesselo_command_is wait' -l panel -x -a '(__tesselo_ids panes)' -d 'Pane to watch'
    complete -c $program -n '__tesselo_command_is wait' -l until -x -a 'working blocked idle' -d 'State to wait for'
    complete -c $program -n '__tesselo_command_is wait' -l timeout -x -d 'Seconds to wait'

    complete -c $program -n '__tesselo_command_is install-hooks' -l uninstall -d 'Remove the hooks instead'

    complete -c $program -n '__tesselo_command_is install-cli' -l prefix -x -a '(__fish_complete_directories)' -d 'Directory for the tesselo link'
end
