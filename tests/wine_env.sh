# Sourced by the Windows checks. wine_start <default prefix>: a Wine prefix
# of our own (no Mono or Gecko downloads), created on first use, and one Wine
# server for the whole run instead of one per program start.
wine_start() {
  command -v wine >/dev/null || { echo "wine is not installed (apt-get install wine wine64)" >&2; exit 1; }
  export WINEPREFIX=${WINEPREFIX:-$1}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w  # the prefix is complete once its server has written it
  fi
  wineserver -p 2>/dev/null || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
}
