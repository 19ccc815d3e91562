#!/usr/bin/env bash
# The longest freeze of the real program's window while it opens a large workbook, archives
# passes into it with the live viewer shown, and saves and closes it at Stop. The program runs
# under Xvfb against the instrument simulator; ../shared/tools/uistall.py pings the window
# every 20 ms and reports the worst answer.
#
#   bash bench/ui_stall.sh [ROWS POINTS [SECONDS]]     (default 40000 253 25)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${PTK71_BUILD:-build}
rows=${1:-40000}
points=${2:-253}
seconds=${3:-25}
uistall=${UISTALL:-$root/../shared/tools/uistall.py}
cmake --build "$build" --target ptk71 ptk71-sim workbook_bench >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The program's own copy, so its settings file is ours; the workbook is the default one.
cp "$build/app/ptk71" "$work/ptk71"
export HOME="$work"
"$build/bench/workbook_bench" --make "$work/PROBA.xlsx" "$rows" "$points" 2>/dev/null
echo "ui_stall: workbook of $rows rows x $points points, $(du -m "$work/PROBA.xlsx" | cut -f1) MB"
{
  echo "[PARAM]"
  echo "Num=8"
  echo "Pause=0"
  for n in 1 2 3 4 5 6 7 8; do
    echo "COMPribor$n=1"
    echo "Pribor$n=1"
    echo "Channel$n=$((n - 1))"
  done
  echo "Speed=5"
} >"$work/ptk71.ini"
"$build/sim/ptk71-sim" --ini "$work/ptk71.ini" COM1:1 >"$work/sim.out" &
pids+=($!)
for _ in $(seq 100); do grep -q '^COM1' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done

display=:$((60 + RANDOM % 30))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

"$work/ptk71" >"$work/ptk71.log" 2>&1 &
pids+=($!)
wid=$(timeout 20 xdotool search --sync --onlyvisible --name 'PTK71' | head -1)
sleep 1
# The archiving tab: tick "Сохранение данных в Excel" ("Показывать Excel" is ticked already).
xdotool mousemove --window "$wid" 178 22 click 1
sleep 0.5
enexcel=$(xdotool search --name 'PTK71' | head -1)
xdotool mousemove --window "$wid" 140 139 click 1
sleep 0.5
import -window "$wid" "$work/archive-tab.png" 2>/dev/null || true
xdotool mousemove --window "$wid" 40 22 click 1
sleep 0.5

/usr/bin/python3 "$uistall" --display "$display" --window "$wid" --seconds "$seconds" >"$work/stall.out" &
stall=$!
sleep 0.5
xdotool mousemove --window "$wid" 46 310 click 1 # "Пуск": opens the workbook
sleep $((seconds / 2))
xdotool mousemove --window "$wid" 113 310 click 1 # "Останов.": saves and closes it
wait "$stall"
cat "$work/stall.out"
rows_now=$(/usr/bin/python3 -c "
import zipfile,re,sys
z=zipfile.ZipFile(sys.argv[1]); s=z.read('xl/worksheets/sheet1.xml')[:4096].decode()
print(re.search(r'<c r=\"B2\"[^>]*><v>([0-9]+)', s).group(1))" "$work/PROBA.xlsx" 2>/dev/null || echo '?')
echo "ui_stall: the workbook's counter is now $rows_now (was $((rows + 4)))"
grep -v XDG_RUNTIME "$work/ptk71.log" || true
