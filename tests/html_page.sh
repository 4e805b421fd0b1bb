# The page a course gives its students (`check --html FILE`), as a browser
# shows it: Debian's chromium, headless, loads it with no console message,
# shows a row per module, and the link of a failing cell opens its report
# with the module's source around the line it names.  A screenshot of that
# is left in the build tree (tests/artifacts/html_page.png).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

modreport=$BIN/modvm-build/modreport
artifacts=$BIN/tests/artifacts
mkdir -p "$artifacts" "$scratch/src"

# Two modules' verdicts as the checks leave them, one with a fault at
# lift.c:5, and that module's source.
cat >"$scratch/results" <<'EOF_RESULTS'
verdict elevator unload passed 19.5
title 
end
verdict elevator fuzz passed 31.0
title seed 42: 12000 calls
end
verdict bad_lift unload failed 3.1
title KASAN: use-after-free Read in el_stop (lift.c:5)
body BUG: KASAN: use-after-free in el_stop+0x1/0x2 [bad_lift] (lift.c:5)
body  el_stop+0x1/0x2 [bad_lift] (lift.c:5)
end
verdict bad_lift fuzz not_run 0
title not run: unload ended the guest
end
EOF_RESULTS
for n in $(seq 20); do echo "int line$n;"; done >"$scratch/src/lift.c"
echo "bad_lift $scratch/src" >"$scratch/sources"
"$modreport" print --results "$scratch/results" --kernel 6.1.176 --flavour kasan \
  --format none --html "$scratch/page.html" --sources "$scratch/sources"
expect "a failed check fails the command" "$?" 1

# browse URL OUT ARG...: chromium's view of URL (its DOM once loaded, or
# what ARG asks), its console messages in OUT.err.  As root it needs no
# sandbox of its own; a profile of the test's own.
browse() {
  local url=$1 out=$2
  shift 2
  timeout 300 chromium --headless --no-sandbox --disable-gpu \
    --user-data-dir="$scratch/profile" --enable-logging=stderr --v=0 "$@" "$url" \
    >"$out" 2>"$out.err"
}
console_lines() { grep -c ':CONSOLE' "$1.err"; }

# The console check can fail: a page with an error shows it.
printf '<!DOCTYPE html><script>undefinedFunction();</script>\n' >"$scratch/broken.html"
browse "file://$scratch/broken.html" "$scratch/broken" --dump-dom
expect "a page's error reaches the console" "$(console_lines "$scratch/broken")" 1

browse "file://$scratch/page.html" "$scratch/plain" --dump-dom
expect "the page loads with no console message" "$(console_lines "$scratch/plain")" 0
expect "a row per module" "$(grep -o '<tr id="m-[a-z_]*"' "$scratch/plain" | paste -sd' ')" \
  '<tr id="m-elevator" <tr id="m-bad_lift"'
expect "the reports are closed at first" \
  "$(grep -c '<details id="r-[a-z_-]*" open' "$scratch/plain")" 0

# The failing cell's link, as the page gives it, opens that report.
link=$(grep -o '<td class="fail"><a href="#[^"]*"' "$scratch/plain" | sed 's/.*href="//; s/"$//')
expect "the failing cell links to its report" "$link" "#r-bad_lift-unload"
browse "file://$scratch/page.html$link" "$scratch/opened" --dump-dom
expect "its report opens" "$(grep -o '<details id="r-[a-z_-]*" open' "$scratch/opened")" \
  '<details id="r-bad_lift-unload" open'
expect "...showing the module's line, marked" \
  "$(grep -o '<span class="named">[^<]*</span>' "$scratch/opened")" \
  '<span class="named">    5  int line5;</span>'
expect "...with no console message" "$(console_lines "$scratch/opened")" 0

browse "file://$scratch/page.html$link" "$scratch/shot" --hide-scrollbars \
  --window-size=1200,900 --screenshot="$artifacts/html_page.png"
expect "a screenshot of it" "$(head -c 8 "$artifacts/html_page.png" | od -An -c | tr -d ' ')" \
  '211PNG\r\n032\n'
finish
