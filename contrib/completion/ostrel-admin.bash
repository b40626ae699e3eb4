# bash completion for ostrel-admin: subcommands, their options, and
# repository paths (directories).

_ostrel_admin() {
  local cur prev sub
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local subs="create collect youngest ls cat log changed proplist revprops setrevprop delrevprop verify origins backup dump load export import-git upgrade"

  if ((COMP_CWORD == 1)); then
    COMPREPLY=($(compgen -W "$subs --help" -- "$cur"))
    return
  fi
  sub=${COMP_WORDS[1]}
  case $prev in
    -r|--revision) COMPREPLY=($(compgen -W "HEAD" -- "$cur")); return ;;
    --limit|--grace|--postgres) return ;;
    -t|--transaction) COMPREPLY=($(compgen -W "$(ls "${COMP_WORDS[2]}/txns" 2>/dev/null)" -- "$cur")); return ;;
    --layout) COMPREPLY=($(compgen -W "standard flat" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    local opts="--help"
    case $sub in
      ls) opts+=" -r -t -R" ;;
      log) opts+=" -r -t -v --limit" ;;
      cat|proplist|changed) opts+=" -r -t" ;;
      revprops|setrevprop|delrevprop|dump|export) opts+=" -r" ;;
      import-git) opts+=" --layout" ;;
      create) opts+=" --postgres" ;;
      collect) opts+=" --grace" ;;
    esac
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    return
  fi
  # The first operand (and for backup and export the second, a local
  # directory) is a path on disk; the rest are paths inside the repository.
  local i n=0
  for ((i = 2; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -r|--revision|--limit|-t|--transaction|--layout|--grace|--postgres) i=$((i + 1)) ;;
      -*) ;;
      *) n=$((n + 1)) ;;
    esac
  done
  if ((n == 0)) || { ((n == 1)) && [[ $sub == backup || $sub == export ]]; }; then
    COMPREPLY=($(compgen -d -- "$cur"))
  fi
}
complete -o filenames -F _ostrel_admin ostrel-admin
