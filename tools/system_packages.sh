# Sourced by the tools: install_missing PKG... installs Debian packages with apt
# (through sudo when not root); with no package named it does nothing.
install_missing() {
    [ $# -gt 0 ] || return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# The build tools every build here needs, plus the packages named.
install_build_tools() {
    local need=("$@")
    command -v ninja >/dev/null || need+=(ninja-build)
    command -v cmake >/dev/null || need+=(cmake)
    install_missing "${need[@]}"
}
