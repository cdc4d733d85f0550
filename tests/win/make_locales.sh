#!/bin/sh
# Compiles UTF-8 Unix locales into a folder of the build tree, for tests that
# run wine under those locales with LOCPATH pointing there: wine needs the
# Unix locale to exist to spell non-ASCII file names on disk. Needs
# localedef and the locale sources (Debian package "locales").
#   make_locales.sh FOLDER LOCALE...      e.g. make_locales.sh out ja_JP
set -eu
folder=$1
shift
mkdir -p "$folder"
for locale in "$@"; do
  if [ ! -f "$folder/$locale.UTF-8/LC_CTYPE" ]; then
    # localedef warns (and may exit 1) about harmless details of the
    # sources; the compiled locale is what counts.
    localedef -i "$locale" -f UTF-8 "$folder/$locale.UTF-8" || true
  fi
  if [ ! -f "$folder/$locale.UTF-8/LC_CTYPE" ]; then
    echo "make_locales: could not compile $locale.UTF-8" >&2
    exit 1
  fi
done
