# Sourced by the Windows scripts: makes a Wine prefix that behaves like a Japanese Windows.
#
#   make_wine_prefix DIR [COM1-PATH]
#     A fresh 64-bit prefix in DIR (DIR must not exist yet): ANSI code page 932, the IPA fonts
#     visible to Windows programs under the names Japanese Windows programs ask for, and, when
#     given, COM1 mapped to COM1-PATH (a device or a link to one, e.g. a pseudo-terminal).
#   wine_japanese DIR COMMAND...
#     Runs COMMAND (wine, wineserver, ...) in the prefix DIR with the code page 932 locale.
#
# Wine takes the ANSI code page from the Linux locale. ja_JP.UTF-8 is compiled privately into
# DIR/locale, so nothing on the machine changes and Linux file names stay UTF-8.

wine_japanese() {
  local prefix=$1
  shift
  WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} \
    WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=} \
    LOCPATH=$prefix/locale LC_ALL=ja_JP.UTF-8 "$@"
}

make_wine_prefix() {
  local prefix=$1 com1=${2:-}
  mkdir -p "$prefix/locale"
  if [ ! -f "$prefix/locale/ja_JP.UTF-8/LC_CTYPE" ]; then
    # localedef warns about the charmap and exits 1 while still writing a usable locale.
    localedef -i ja_JP -f UTF-8 "$prefix/locale/ja_JP.UTF-8" 2>/dev/null ||
      [ -f "$prefix/locale/ja_JP.UTF-8/LC_CTYPE" ] || {
      echo "make_wine_prefix: cannot compile the ja_JP.UTF-8 locale (package locales)" >&2
      return 1
    }
  fi
  wine_japanese "$prefix" wineboot -i >/dev/null 2>&1 || return 1

  local fonts=$prefix/drive_c/windows/Fonts font
  mkdir -p "$fonts"
  for font in /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf \
    /usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf; do
    [ -f "$font" ] || {
      echo "make_wine_prefix: $font missing (package fonts-ipafont-gothic)" >&2
      return 1
    }
    ln -sf "$font" "$fonts/"
  done

  # The fonts Japanese Windows programs name, and Qt's default, mapped to the IPA faces.
  local substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  local name face
  for name in "ＭＳ Ｐゴシック:IPAPGothic" "MS PGothic:IPAPGothic" "ＭＳ ゴシック:IPAGothic" \
    "MS Gothic:IPAGothic" "MS UI Gothic:IPAPGothic" "MS Shell Dlg:IPAPGothic" \
    "MS Shell Dlg 2:IPAPGothic"; do
    face=${name##*:}
    wine_japanese "$prefix" wine reg add "$substitutes" /v "${name%:*}" /t REG_SZ /d "$face" /f \
      >/dev/null 2>&1 || return 1
  done
  if [ -n "$com1" ]; then
    wine_japanese "$prefix" wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ \
      /d "$com1" /f >/dev/null 2>&1 || return 1
  fi
  wine_japanese "$prefix" wineserver -w
}
