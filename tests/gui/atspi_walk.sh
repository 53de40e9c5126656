#!/usr/bin/env bash
# A screen reader's view of the window: starts it with a book open under a virtual display and
# the desktop's accessibility bus, walks what the bus shows of it, and checks that the window
# is a frame and that each value cell is named with its key.
#   atspi_walk.sh PROGRAM BOOK.exe
# Exits 77 (skipped) where a virtual display or the accessibility bus cannot be had.
set -uo pipefail
program=$1
book=$2
launcher=/usr/libexec/at-spi-bus-launcher
for tool in Xvfb gdbus dbus-run-session "$launcher"; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done

if [ -z "${ATSPI_WALK_IN_SESSION:-}" ]; then
  ATSPI_WALK_IN_SESSION=1 exec dbus-run-session -- bash "$0" "$@" 2>&1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
cp "$book" "$work/book.exe"
chmod u+w "$work/book.exe"

"$launcher" --launch-immediately >"$work/launcher.log" 2>&1 &
pids+=($!)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "skipped: Xvfb did not start"; exit 77; }
export DISPLAY=:$(head -n 1 "$work/display")
export XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
address=$(gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
  --method org.a11y.Bus.GetAddress </dev/null 2>/dev/null | sed -E "s/^\('(.*)',\)$/\1/")
[ -n "$address" ] || { echo "skipped: no accessibility bus"; exit 77; }
"$program" "$work/book.exe" >"$work/program.log" 2>&1 &
pids+=($!)

call() { # bus path method arguments...
  gdbus call --address "$address" --dest "$1" --object-path "$2" --method "$3" "${@:4}" \
    </dev/null 2>/dev/null
}
children() {
  call "$1" "$2" org.a11y.atspi.Accessible.GetChildren |
    grep -oE "\('[^']*', (objectpath )?'[^']*'\)" |
    sed -E "s/\('([^']*)', (objectpath )?'([^']*)'\)/\1 \3/"
}
# Prints "role: name" of each node below bus and path, indented by depth; menus are left out.
walk() { # bus path depth
  local role name
  role=$(call "$1" "$2" org.a11y.atspi.Accessible.GetRoleName | sed -E "s/^\('(.*)',\)$/\1/")
  name=$(call "$1" "$2" org.freedesktop.DBus.Properties.Get org.a11y.atspi.Accessible Name |
    sed -E "s/^\(<'(.*)'>,\)$/\1/")
  printf '%*s%s: %s\n' "$3" '' "$role" "$name"
  [ "$role" = "menu bar" ] && return
  children "$1" "$2" | while read -r bus path; do walk "$bus" "$path" $(($3 + 2)); done
}

# The window is up once the book's name is in its caption.
root=/org/a11y/atspi/accessible/root
for _ in $(seq 300); do
  walk org.a11y.atspi.Registry "$root" 0 >"$work/tree" 2>/dev/null
  grep -q "book.exe — Folioset" "$work/tree" && break
  sleep 0.1
done
cat "$work/tree"
failed=0
expect() { # pattern what
  grep -qxF -- "$1" "$work/tree" || { echo "FAIL: $2: no line \"$1\""; failed=1; }
}
expect "    frame: book.exe — Folioset 1.0.0.1" "the window is the application's frame"
for cell in "Author: Mara Quill" "Company: Quill Press" "Email: books@example.org"; do
  expect "            cell: $cell" "a value cell named with its key"
done
exit $failed
