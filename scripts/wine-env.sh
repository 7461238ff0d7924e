# Sourced by the scripts that run Windows programs. Picks the Wine architecture this kernel can
# run, points at the matching build, and makes sure the Wine prefix exists and is set up.
#
#   TARN_WINE_ARCH   win32 or win64; default: win32 when this kernel runs 32-bit programs,
#                    otherwise win64 (some kernels have 32-bit emulation switched off)
#   TARN_WINEPREFIX  the prefix to use; default build/wine-$TARN_WINE_ARCH
#
# Exports: TARN_ROOT, TARN_WINE_ARCH, TARN_WIN_BUILD (build folder of the matching preset),
#          WINE (the loader to run), WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES, LC_ALL.

TARN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ -z "${TARN_WINE_ARCH:-}" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    TARN_WINE_ARCH=win32
  else
    TARN_WINE_ARCH=win64
  fi
fi
if [ "$TARN_WINE_ARCH" = win32 ]; then
  WINE=/usr/lib/wine/wine
else
  WINE=/usr/lib/wine/wine64
  export WINELOADER=/usr/lib/wine/wine64
fi
TARN_WIN_BUILD="$TARN_ROOT/build/$TARN_WINE_ARCH"
export TARN_ROOT TARN_WINE_ARCH TARN_WIN_BUILD WINE
export WINEARCH="$TARN_WINE_ARCH"
export WINEPREFIX="${TARN_WINEPREFIX:-$TARN_ROOT/build/wine-$TARN_WINE_ARCH}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The ANSI code page follows the locale: Korean gives CP949, and the generated glibc locale lets
# Wine map Hangul names to UTF-8 names on disk.
export LC_ALL=ko_KR.UTF-8

tarn_wine_prefix() {
  # The marker names the set-up's version: a prefix made by an older set-up is brought up to date.
  if [ -f "$WINEPREFIX/.tarn-ready-3" ]; then return 0; fi
  mkdir -p "$WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1 || true
  # No crash dialog: on a virtual display it would wait forever. And no debugger at all: an
  # unhandled exception then ends the process with its code, as the tests of the crash reporter
  # expect, instead of leaving winedbg attached to it.
  "$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # The dialog font "굴림" is drawn with a Hangul font from fonts-nanum. NanumGothicCoding has
  # Gulim's metrics at 9 points (cell height 12, average width 6), so dialog units map to the
  # same pixels as on Windows; NanumGothic's taller cell (14) would push the updater window's
  # lower progress bar past the bottom of its 140-pixel skin.
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v "굴림" /t REG_SZ /d NanumGothicCoding /f >/dev/null 2>&1
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v "Gulim" /t REG_SZ /d NanumGothicCoding /f >/dev/null 2>&1
  /usr/bin/wineserver -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tarn-ready-3"
}
