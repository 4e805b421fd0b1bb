# zsh_complete.zsh FPATH-DIR MARKER WORD...: what zsh's completion offers
# for the command line WORD... (the last word being completed), with the
# completion functions of FPATH-DIR: one offer a line, sorted.  It types
# the line and a Tab into an interactive zsh on a pseudo-terminal, with
# compadd recording what it is given; a command typed after the Tab writes
# MARKER, so the offers are complete once MARKER is there.
zmodload zsh/zpty
dir=$1 marker=$2 hits=$2.hits
shift 2
rm -f $marker $marker.ready $hits
zpty shell zsh -f -i
zpty -w shell "fpath=($dir \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w shell "compadd () {
  if [[ \${@[1,(i)(-|--)]} == *-(O|A|D)\\ * ]]; then builtin compadd \"\$@\"; return; fi
  local -a hits; builtin compadd -A hits \"\$@\"; local ret=\$?
  print -rl -- \$hits >>$hits; return ret; }"
# await FILE: waits (a minute at most) for the shell to write FILE.
await() {
  local i
  for i in {1..600}; do
    [[ -f $1 ]] && return
    sleep 0.1
  done
}
# Typed ahead, the Tab would find completion not yet set up.
zpty -w shell "print >$marker.ready"
await $marker.ready
zpty -n -w shell "$*"$'\t'
zpty -w shell $'\C-u'"print >$marker"
await $marker
zpty -d shell
[[ -f $marker ]] || { print -u2 "zsh_complete: no answer from zsh"; exit 1; }
[[ -f $hits ]] && sort -u $hits | grep .
exit 0
