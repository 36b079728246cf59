# bash completion for mirava-cli: switches and kinds, then the input among
# the files Mirava reads and the output among all files and folders; in
# batch mode (-o or -l) every name is an input.

_mirava_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local short='/0 /1 /2 /3 /4 /5 /F'
  local long='-0 -1 -2 -3 -4 -5 -F -o -e -l -j --skip-existing --stop-on-error
    --report --slice --memory= --drop-rotation --keep-ground --jpeg-quality= --jpeg-subsampling= -co --help
    --version --formats'
  local readable=' ers osd dtm 001 veg hgt tif tiff bmp jpg jpeg ecw rsw gif dcr bit byt '
  local writable='.ers .osd .dtm .001 .veg .hgt .tif .bmp .jpg .ecw .rsw'
  COMPREPLY=()
  # "=" splits a word: "--jpeg-subsampling", "=", the value.
  if [[ $prev == --jpeg-subsampling && $cur == = ]]; then
    COMPREPLY=(444 422 420)
    return
  fi
  if [[ $prev == = && ${COMP_WORDS[COMP_CWORD - 2]} == --jpeg-subsampling ]]; then
    COMPREPLY=($(compgen -W '444 422 420' -- "$cur"))
    return
  fi
  case $prev in
    -o) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -e) COMPREPLY=($(compgen -W "$writable" -- "$cur")); return ;;
    -l | --report) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -j | --slice) return ;;
    -co) COMPREPLY=($(compgen -W 'COMPRESS= PREDICTOR= TILED= BLOCKXSIZE= BLOCKYSIZE= ZLEVEL= ZSTD_LEVEL=' -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$long" -- "$cur"))
    return
  fi
  # "/" begins both the short switches and absolute paths.
  if ((${#cur} <= 2)); then
    COMPREPLY=($(compgen -W "$short" -- "$cur"))
  fi

  # File names given before this word; switches and their values are none.
  local i word names=0 batch=false
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      -o | -l) batch=true; ((i++)) ;;
      -e | -j | --report | --slice | -co) ((i++)) ;;
      -* | /?) ;;
      *) ((names++)) ;;
    esac
  done
  $batch && names=0
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
