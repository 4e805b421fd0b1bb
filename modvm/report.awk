# Cuts the kernel's reports (a warning, a BUG, an oops, lockdep, KASAN, a
# hung task, kmemleak) to the lines that matter: the headlines, the lines
# naming a module's function ("car_fn+0x4a/0x90 [elevator]"), the locks
# lockdep names, the faulting address.  Reads kernel lines, with or without
# the "[   12.345678] " stamp; prints at most `max` lines (default 30), then
# how many more there were.  Runs under busybox awk in the guest and under
# the host's awk.
BEGIN {
	if (max == "")
		max = 30
	kept = 0
	more = 0
}
{
	line = $0
	sub(/^\[ *[0-9]+\.[0-9]+\] /, "", line)
	sub(/^\[ *T?C?[0-9]+\] /, "", line)
	sub(/ +$/, "", line)
	keep = 0
	if (line ~ /(BUG|WARNING|INFO|Oops|kernel BUG|general protection|Kernel panic|list_[a-z_]+ corruption|unreferenced object|KASAN|KCSAN|possible circular|possible recursive|inconsistent lock|hung_task|blocked for more than|soft lockup|stall|scheduling while atomic|sleeping function|in_atomic|ODEBUG|cabgate:|RIP: | Comm: )/)
		keep = 1
	else if (line ~ /\[[a-z0-9_]+\]$/ || line ~ /\[[a-z0-9_]+\] *$/)
		keep = 1
	else if (line ~ /^ *(Read|Write|Freed|Allocated|The buggy address|race at|value changed)/)
		keep = 1
	else if (line ~ /(lock\(|\(&|\((&|[a-z_]+lock)[^)]*\)\{)/)
		keep = 1
	else if (line ~ /^ *\[<[0-9a-f]+>\] 0x[0-9a-f]+$/ || line ~ /^ *backtrace/)
		keep = 1
	# Frames the unwinder is unsure of ("? fn"), lines said before, and
	# the hung-task detector's advice add nothing.
	if (line ~ /^(-+|=+)$/ || line ~ /^ *$/ || line ~ /^ +\? / ||
	    line ~ /hung_task_timeout_secs" disables/ || line ~ /^RIP: 0033:/ ||
	    (line in said))
		keep = 0
	if (!keep)
		next
	said[line] = 1
	if (kept < max) {
		print line
		kept++
	} else {
		more++
	}
}
END {
	if (more)
		printf "(%d more lines)\n", more
}
