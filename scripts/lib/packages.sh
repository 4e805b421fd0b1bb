# Installing the Debian packages a script needs, shared by scripts/setup,
# scripts/kernels and scripts/modvm (installed with the bench).  Source it.

# missing_packages PACKAGE...: prints those of PACKAGE that are not
# installed, on one line.
missing_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  echo "${missing[*]}"
}

# install_packages WHO PACKAGE...: installs with apt-get those of PACKAGE
# that are not installed (through sudo when not root), saying so first as
# "WHO: installing ..." on standard output.
install_packages() {
  local who=$1 missing
  shift
  read -r -a missing <<<"$(missing_packages "$@")"
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "$who: installing ${missing[*]}"
  # An install that was cut short (a Ctrl-C) is finished first.
  if [ -n "$(dpkg --audit 2>/dev/null)" ]; then
    DEBIAN_FRONTEND=noninteractive $sudo dpkg --configure -a
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
