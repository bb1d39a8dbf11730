#!/bin/sh
# count.sh — the script script_launch runs in its child: counts from 1 to its argument,
# one number a line. Run: ./count.sh 10
last=${1:-0}
i=1
while [ "$i" -le "$last" ]; do
  echo "$i"
  i=$((i + 1))
done
