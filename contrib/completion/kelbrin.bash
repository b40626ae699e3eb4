# bash completion for kelbrin: options, action words, and local files where
# an action takes one (put SRC-FILE, propsetf NAME FILE).

_kelbrin() {
  local cur prev i word pending=0 action= argn=0
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local opts_arg="-m --message -F --file -u --username -p --password -U --root-url
                  -r --revision --with-revprop -X --extra-args --config-dir --config-option"
  local opts="$opts_arg -h --help -n --non-interactive --no-auth-cache --version"
  local actions="cp mv rm mkdir put propset propsetf propdel"

  case $prev in
    -F|--file|-X|--extra-args)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --config-dir)
      COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -r|--revision)
      COMPREPLY=($(compgen -W "HEAD" -- "$cur")); return ;;
    -m|--message|-u|--username|-p|--password|-U|--root-url|--with-revprop|--config-option)
      return ;;
  esac

  # Walk the words before the cursor: which action, and which of its
  # arguments, the cursor is at.
  local dashdash=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((pending > 0)); then
      pending=$((pending - 1)); argn=$((argn + 1)); continue
    fi
    if ((!dashdash)) && [[ $word == -- ]]; then dashdash=1; continue; fi
    if ((!dashdash)) && [[ $word == -* && $word != - ]]; then
      [[ " $opts_arg " == *" $word "* ]] && i=$((i + 1))
      continue
    fi
    action=$word; argn=0
    case $word in
      cp|propset|propsetf) pending=3 ;;
      mv|put|propdel) pending=2 ;;
      rm|mkdir) pending=1 ;;
      *) pending=0 ;;
    esac
  done

  if ((pending > 0)); then
    case $action:$argn in
      put:0|propsetf:1) COMPREPLY=($(compgen -f -- "$cur")) ;;
      cp:0) COMPREPLY=($(compgen -W "HEAD" -- "$cur")) ;;
    esac
    return
  fi
  if [[ $cur == -* ]] && ((!dashdash)); then
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$actions" -- "$cur"))
  fi
}
complete -o filenames -F _kelbrin kelbrin
