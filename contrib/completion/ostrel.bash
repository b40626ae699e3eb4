# bash completion for ostrel: subcommands, their options, and a local
# directory for export's second operand.

_ostrel() {
  local cur prev i word sub= n=0
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local subs="ls cat log info proplist export"
  local opts_arg="-r --revision --limit -u --username -p --password --config-dir --config-option"
  local common="-u --username -p --password -n --non-interactive --config-dir --config-option
                --no-auth-cache -h --help"

  case $prev in
    --config-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -r|--revision) COMPREPLY=($(compgen -W "HEAD" -- "$cur")); return ;;
    --limit|-u|--username|-p|--password|--config-option) return ;;
  esac
  # The subcommand, and how many operands follow it before the cursor.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word == -* ]]; then
      [[ " $opts_arg " == *" $word "* ]] && i=$((i + 1))
      continue
    fi
    if [ -z "$sub" ]; then sub=$word; else n=$((n + 1)); fi
  done
  if [[ $cur == -* ]]; then
    local opts="$common"
    case $sub in
      ls) opts+=" -r --revision -R --recursive -v --verbose" ;;
      log) opts+=" -r --revision -v --verbose --limit" ;;
      cat|info|proplist|export) opts+=" -r --revision" ;;
      "") opts+=" --version" ;;
    esac
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    return
  fi
  if [ -z "$sub" ]; then
    COMPREPLY=($(compgen -W "$subs" -- "$cur"))
  elif [ "$sub" = export ] && ((n == 1)); then
    COMPREPLY=($(compgen -d -- "$cur"))
  fi
}
complete -o filenames -F _ostrel ostrel
