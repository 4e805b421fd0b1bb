# Drops KCSAN's reports of races that no module of ours takes part in (the
# kernel has benign ones of its own): a report, from "BUG: KCSAN:" to its
# "Reported by" line, stays only if a line of it names a function of the
# module `module` ("car_fn+0x4a/0x90 [elevator]"), or without `module`, of
# any module.
# Reads kernel lines, with or without their stamps; drops the "=====" lines
# around reports.  Runs under busybox awk in the guest and the host's awk.
function ours(line)
{
	return module == "" ? line ~ /\[[a-z0-9_]+\]/ : index(line, "[" module "]") > 0
}
{
	text = $0
	sub(/^\[ *[0-9]+\.[0-9]+\] /, "", text)
}
text ~ /^=+$/ { next }
text ~ /^BUG: KCSAN: / { race = 1; block = $0; mine = ours($0); next }
race {
	block = block "\n" $0
	if (ours($0))
		mine = 1
	if (text ~ /^Reported by Kernel Concurrency Sanitizer/) {
		race = 0
		if (mine)
			print block
	}
	next
}
{ print }
END {
	if (race && mine)
		print block
}
