# Sourced by the Windows checks. wine_start <default prefix>: a Wine prefix
# of our own (no Mono or Gecko downloads), created on first use, and one Wine
# server for the whole run instead of one per program start.
#
# The programs meet the names of a PC whose ANSI code page lacks them: the
# Windows user (and so the profile folder, %LOCALAPPDATA%...) is
# "Zażółć gęślą" unless WINE_USER says otherwise, and Wine runs in the
# C.UTF-8 locale, which gives Windows programs code page 1252 (where ż, ł,
# ę, ś, ą, ć are missing) and passes names to them whole. Wine takes both
# from the environment of each program it starts, so wine and winepath are
# run through functions that set them, whatever the caller's own locale.
wine_start() {
  command -v wine >/dev/null || { echo "wine is not installed (apt-get install wine wine64)" >&2; exit 1; }
  export WINEPREFIX=${WINEPREFIX:-$1}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export USER=${WINE_USER:-Zażółć gęślą}
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    LC_ALL=C.UTF-8 wineboot -i >/dev/null 2>&1 || true
    wineserver -w  # the prefix is complete once its server has written it
  fi
  wineserver -p 2>/dev/null || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
}
wine() { LC_ALL=C.UTF-8 command wine "$@"; }
winepath() { LC_ALL=C.UTF-8 command winepath "$@"; }

# wine_deep_folder <folder>: makes a folder below <folder> whose path, Unix
# or Windows, is longer than MAX_PATH (260 characters), and prints it.
wine_deep_folder() {
  local dir=$1 part
  part=$(printf 'deep%.0s' {1..15})
  while [ ${#dir} -le 300 ]; do dir=$dir/$part; done
  mkdir -p "$dir"
  echo "$dir"
}

