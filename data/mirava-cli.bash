# bash completion for mirava-cli: switches and kinds, then the input among
# the files Mirava reads and the output among all files and folders.

_mirava_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local short='/0 /1 /2 /3 /4 /5 /F'
  local long='-0 -1 -2 -3 -4 -5 -F --help --version'
  local readable=' ers osd dtm 001 veg hgt tif tiff bmp jpg jpeg ecw rsw gif dcr bit byt '
  COMPREPLY=()
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$long" -- "$cur"))
    return
  fi
  # "/" begins both the short switches and absolute paths.
  if ((${#cur} <= 2)); then
    COMPREPLY=($(compgen -W "$short" -- "$cur"))
  fi

  # File names given before this word; switches are no names.
  local i names=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    local word=${COMP_WORDS[i]}
    [[ $word == -* || ($word == /* && ${#word} == 2) ]] || ((names++))
  done
  ((names >= 2)) && return

  local file ext
  while IFS= read -r file; do
    if [[ -d $file ]] || ((names == 1)); then
      COMPREPLY+=("$file")
      continue
    fi
    ext=${file##*.}
    [[ $file == *.* && $readable == *" ${ext,,} "* ]] && COMPREPLY+=("$file")
  done < <(compgen -f -- "$cur")
}

complete -o filenames -F _mirava_cli mirava-cli
