# The default suite, shared by scripts/test and the guests of
# scripts/kernels: every test but those with these CTest labels (real time,
# a Debian root, QEMU guests, a kernel build, the bench's soak).
# shellcheck disable=SC2034  # for the scripts that source this
DEFAULT_SUITE_EXCLUDE='slow|deb|kernels|modvm|soak'
