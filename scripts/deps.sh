# Sourced by run.sh and test.sh: installs the Debian packages the build needs, once.
# apt-get update runs only when something is missing.
VANTREL_PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev
  libsqlite3-dev
  libssl-dev openssl python3
  libcli11-dev
  liburing-dev
  socat
  nlohmann-json3-dev
  libcivetweb-dev
  qt6-base-dev qt6-svg-dev
  xvfb xauth fonts-noto-cjk
)

# What CI checks the build with beyond its tests: the package's lint, the units' rating and
# the metrics page's format (promtool, from prometheus). The tests that use them skip
# without them, so a developer need not install them.
VANTREL_CHECKERS=(
  lintian systemd
  prometheus
)

# Installs the packages named (the build's by default) that are missing.
vantrel_install_deps() {
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${VANTREL_PACKAGES[@]}")
  local missing=()
  for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
