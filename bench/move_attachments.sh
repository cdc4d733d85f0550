#!/bin/sh
# What a user would write instead of the program, with the system's own
# tools: reads the message file, and for every "Attachment Converted: "
# line moves the attachment into the destination folder with `cp -n` and
# `rm`; deletes it when `cmp` finds an identical file under its name there;
# moves it under the first free numbered name (report1.pdf, report2.pdf,
# ...) when a different file has the name. Writes one log line per action
# and deletes the message at the end. It is the competitor in bench/run,
# written to be as quick as a shell script gets: the parsing is done by the
# shell itself, and only cp, cmp and rm are started.
#
# With --durable it is the same job made safe against a power cut, as the
# program's move is: each copy is flushed to the disk (`sync FILE`) before
# its source is removed. A duplicate needs no flush.
#
#   bench/move_attachments.sh [--durable] MESSAGE DESTINATION
set -u
flush=:
if [ "$1" = --durable ]; then
  flush=sync
  shift
fi
message=$1
destination=$2

while IFS= read -r line; do
  case $line in
    'Attachment Converted: '*) ;;
    *) continue ;;
  esac
  # The path between the quotes; the CR of a CR LF line end follows the
  # closing quote and goes with it.
  source=${line#'Attachment Converted: '}
  source=${source#\"}
  source=${source%\"*}
  name=${source##*/}
  if [ ! -f "$source" ]; then
    echo "Source File <$source> does not exist"
    continue
  fi
  target=$destination/$name
  if [ ! -e "$target" ]; then
    cp -n "$source" "$target" && $flush "$target" && rm "$source" &&
      echo "Moving from <$source> to <$target>"
  elif cmp -s "$source" "$target"; then
    rm "$source" &&
      echo "Duplicate of <$source> already in <$target> - only deleting source"
  else
    case $name in
      ?*.*) stem=${name%.*} extension=.${name##*.} ;;
      *) stem=$name extension= ;;
    esac
    number=1
    while [ -e "$destination/$stem$number$extension" ]; do
      number=$((number + 1))
    done
    target=$destination/$stem$number$extension
    cp -n "$source" "$target" && $flush "$target" && rm "$source" &&
      echo "Different version of <$source> moved to <$target>"
  fi
done <"$message" >"${message%.*}.log"
rm "$message"
