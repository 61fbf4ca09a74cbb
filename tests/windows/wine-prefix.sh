# Sourced by the scripts that run korvane's Windows programs under Wine, inside
# the private mount and network namespace they have already made:
#   use_private_wine_prefix WORK_DIR
# gives this run a Wine prefix of its own, an overlay over one shared prefix
# that is made once (the first run makes it, under a lock, the others wait), so
# that runs can go side by side, each with its own wineserver, and none can
# leave anything behind in the shared one. Exports WINEPREFIX and Wine's
# settings; sets wine and wineserver to the programs.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

use_private_wine_prefix() {
  local work="$1"
  local base="${KORVANE_WINEPREFIX:-/tmp/korvane-wine-$(id -u)}"
  export WINEDEBUG=-all DISPLAY=
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  (
    flock 9
    if [ ! -f "$base/.korvane-ready" ]; then
      rm -rf "$base"
      WINEPREFIX="$base" "$wine" wineboot --init >/dev/null 2>&1 || true
      WINEPREFIX="$base" "$wineserver" -w
      touch "$base/.korvane-ready"
    fi
  ) 9>"$base.lock"
  mkdir -p "$work/wine-upper" "$work/wine-work" "$work/wine-prefix"
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/wine-upper,workdir=$work/wine-work" \
    "$work/wine-prefix"
  export WINEPREFIX="$work/wine-prefix"
  # A wineserver of this run's own that stays until stop_wine: one that ends by
  # itself 3 s after its last program could be ending just as the next program
  # starts, and that program then failed (status 1) or was killed.
  "$wineserver" -p
}

# Stops this prefix's wineserver and waits for it, before the prefix goes.
stop_wine() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
}
