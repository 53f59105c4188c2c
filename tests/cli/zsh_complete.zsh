# Completes one command line in an interactive zsh on a pseudo-terminal and
# prints, one a line, the candidates that the completion functions offered.
#   zsh -f zsh_complete.zsh FPATH_DIR LINE
# The set-up, the dump and the capture go to a folder of its own, removed at
# the end, so that HOME is left as it was found.
zmodload zsh/zpty || exit 1
local scratch=$(mktemp -d)
local setup=$scratch/setup.zsh capture=$scratch/capture errors=$scratch/errors
: >| $capture
: >| $errors

# Every candidate that reaches the real compadd is recorded, after zsh's own
# matching against the word under the cursor; calls that only compute (-O, -A,
# -D) are passed through. What the functions write on standard error is kept
# apart from the line editor's output and handed on.
cat >| $setup <<EOF
exec 2>>${(q)errors}
fpath=(${(q)1} \$fpath)
autoload -Uz compinit && compinit -u -d ${(q)scratch}/.zcompdump
compadd() {
  if (( \${@[(I)-[OAD]*]} )); then builtin compadd "\$@"; return; fi
  local -a found
  builtin compadd -A found "\$@"
  (( \$#found )) && print -rl -- \$found >> ${(q)capture}
  builtin compadd "\$@"
}
capture-completion() { zle complete-word; zle -M TESSELO-COMPLETED }
zle -N capture-completion
bindkey '^I' capture-completion
EOF

zpty completing zsh -f -i
zpty -w completing "source ${(q)setup}"
zpty -w -n completing "$2"$'\t'
local out chunk
integer waits=0
while [[ $out != *TESSELO-COMPLETED* ]] && (( waits < 400 )); do
  if zpty -r -t completing chunk; then
    out+=$chunk
  else
    (( waits++ ))
    sleep 0.05
  fi
done
# The errors are taken before the pseudo-terminal goes: closing it makes the
# inner zsh complain about its lost terminal into the same file.
local complaints=$(<$errors)
zpty -d completing
[[ $out == *TESSELO-COMPLETED* ]] || print -u2 "zsh did not complete: $2"
[[ -n $complaints ]] && print -u2 -r -- $complaints
sort -u $capture
rm -rf $scratch
