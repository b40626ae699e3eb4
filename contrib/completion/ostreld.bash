# bash completion for ostreld: its options, directories for --root, files
# for the options that name one.

_ostreld() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --root) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --config|--access-log|--tls-cert|--tls-key|--users|--rules)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --listen) return ;;
  esac
  COMPREPLY=($(compgen -W "--root --listen --config --access-log --tls-cert --tls-key
                           --users --rules --open --help" -- "$cur"))
}
complete -o filenames -F _ostreld ostreld
