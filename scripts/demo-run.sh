#!/usr/bin/env bash
# Lays out the demo program directory run/ (once) and runs the service in it in the foreground.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/run"
console="$top/$build/tools/vantor-console"

if [ ! -f "$dir/VantorWeb.mdb" ]; then
  "$console" init "$dir"
  "$console" --dir "$dir" customer add 01000001 "Demo Company"
fi
cp "$top/$build/src/VantorWebSrv" "$dir/VantorWebSrv.new"
mv -f "$dir/VantorWebSrv.new" "$dir/VantorWebSrv"
echo "Vantor Web runs in $dir (Ctrl-C stops it); events go to $dir/Debug/AppEvent.txt"
exec "$dir/VantorWebSrv"
