# bench/tools.sh — sourced by the comparisons with TFTP.
#
# install_pkgs PKG...: installs the Debian packages given (those missing,
# as the caller decides), with the packages' daemons kept from starting on
# the machine's interfaces.
install_pkgs() {
  [ $# -gt 0 ] || return 0
  echo "installing $*"
  local made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
  [ $made_policy -eq 1 ] && rm -f /usr/sbin/policy-rc.d
  return 0
}

# unpack_atftpd DIR: atftpd unpacked from its package below DIR, not
# installed (no daemon on the machine); sets atftpd to the program. It needs
# libwrap0 (installed with tftpd-hpa, or on its own).
unpack_atftpd() {
  mkdir -p "$1/deb"
  (cd "$1/deb" && apt-get download atftpd >/dev/null 2>&1) || { apt-get update -qq; (cd "$1/deb" && apt-get download atftpd >/dev/null); }
  dpkg-deb -x "$1"/deb/atftpd_*.deb "$1/atftpd"
  atftpd=$1/atftpd/usr/sbin/atftpd
}
