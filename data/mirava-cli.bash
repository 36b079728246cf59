# bash completion for mirava-cli: switches, kinds, formats, -co keys and
# their words, then the input among the files Mirava reads and the output
# among all files and folders; in batch mode (-o or -l) every name is an
# input, and after "--" every word is a name.

# A TIFF output's creation options, and their words by key.
_mirava_cli_co_keys='COMPRESS= PREDICTOR= TILED= BLOCKXSIZE= BLOCKYSIZE= ZLEVEL= ZSTD_LEVEL=
  LZMA_PRESET= JPEG_QUALITY= WEBP_LEVEL= WEBP_LOSSLESS= BIGTIFF= NUM_THREADS= PHOTOMETRIC=
  COG= BLOCKSIZE= OVERVIEWS= OVERVIEW_COUNT= RESAMPLING= OVERVIEW_RESAMPLING='
declare -gA _mirava_cli_co_words=(
  [COMPRESS]='NONE DEFLATE LZW ZSTD LZMA PACKBITS JPEG WEBP'
  [PREDICTOR]='1 2 3'
  [TILED]='YES NO'
  [WEBP_LOSSLESS]='YES NO'
  [BIGTIFF]='YES NO IF_NEEDED IF_SAFER'
  [NUM_THREADS]='ALL_CPUS'
  [PHOTOMETRIC]='MINISBLACK MINISWHITE RGB CMYK YCBCR'
  [COG]='YES NO'
  [OVERVIEWS]='AUTO IGNORE_EXISTING NONE'
  [RESAMPLING]='NEAREST AVERAGE BILINEAR MODE'
  [OVERVIEW_RESAMPLING]='NEAREST AVERAGE BILINEAR MODE'
)

_mirava_cli() {
  # bash splits "KEY=VALUE" at "=": the words are joined again, so that a
  # switch's value is seen whole.
  local -a words=()
  local i w n=-1
  for ((i = 0; i <= COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if ((i > 1)) && [[ $w == = || ${COMP_WORDS[i - 1]} == = ]]; then
      words[n]+=$w
    else
      words[++n]=$w
    fi
  done
  local cur=${words[n]} prev=${words[n - 1]}
  local short='/0 /1 /2 /3 /4 /5 /F'
  local long='-0 -1 -2 -3 -4 -5 -F -o -e -l -j --skip-existing --stop-on-error
    --report --slice --memory= --drop-rotation --keep-ground --jpeg-quality=
    --jpeg-subsampling= -co -q --quiet -of -b -a_srs -a_nodata -- --help
    --version --formats'
  local readable=' ers osd dtm 001 veg hgt tif tiff bmp jpg jpeg ecw rsw gif dcr bit byt '
  local writable='.ers .osd .dtm .001 .veg .hgt .tif .tiff .bmp .jpg .jpeg .ecw .rsw'
  local formats='ers osd tiff bmp dtm nog jpg veg ecw rsw hgt jp2 GTiff COG ERS BMP JPEG SRTMHGT JP2OpenJPEG'
  COMPREPLY=()

  # Names from here on once "--" was given.
  local names=0 batch=false dashes=false
  for ((i = 1; i < n; i++)); do
    w=${words[i]}
    if $dashes; then
      ((names++))
      continue
    fi
    case $w in
      --) dashes=true ;;
      -o | -l) batch=true; ((i++)) ;;
      -e | -j | --report | --slice | -co | -of | -b | -a_srs | -a_nodata) ((i++)) ;;
      -* | /?) ;;
      *) ((names++)) ;;
    esac
  done

  if ! $dashes; then
    local key handled=true
    case $prev in
      -o) COMPREPLY=($(compgen -d -- "$cur")) ;;
      -e) COMPREPLY=($(compgen -W "$writable" -- "$cur")) ;;
      -of) COMPREPLY=($(compgen -W "$formats" -- "$cur")) ;;
      -a_nodata) COMPREPLY=($(compgen -W 'none' -- "$cur")) ;;
      -l | --report) COMPREPLY=($(compgen -f -- "$cur")) ;;
      -co)
        if [[ $cur == *=* ]]; then
          key=${cur%%=*}
          COMPREPLY=($(compgen -P "$key=" -W "${_mirava_cli_co_words[${key^^}]}" -- "${cur#*=}"))
        else
          COMPREPLY=($(compgen -W "$_mirava_cli_co_keys" -- "$cur"))
        fi
        ;;
      -j | --slice | -b | -a_srs) ;;
      *)
        case $cur in
          --jpeg-subsampling=*)
            COMPREPLY=($(compgen -P --jpeg-subsampling= -W '444 422 420' -- "${cur#*=}")) ;;
          -*) COMPREPLY=($(compgen -W "$long" -- "$cur")) ;;
          *) handled=false ;;
        esac
        ;;
    esac
    if $handled; then
      # A word that ends in "=" takes its value next, without a blank; bash
      # replaces only what follows the last "=" of the word.
      [[ " ${COMPREPLY[*]} " == *"= "* ]] && compopt -o nospace
      if [[ $cur == *=* && $COMP_WORDBREAKS == *=* ]]; then
        local head=${cur%=*}=
        COMPREPLY=("${COMPREPLY[@]#"$head"}")
      fi
      return
    fi
    # "/" begins both the short switches and absolute paths.
    ((${#cur} <= 2)) && COMPREPLY=($(compgen -W "$short" -- "$cur"))
  fi

  $batch && ! $dashes && names=0
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
