#!/usr/bin/env bash
# End-to-end tests: whole mail checks through postwain and libpwt.so against private
# Dovecot (POP3) and Postfix (SMTP) instances on loopback. Installs the servers when
# missing without starting or reconfiguring the system's own copies.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(dovecot-core dovecot-pop3d postfix python3)
if ! [ -x /usr/sbin/dovecot ] || ! [ -x /usr/lib/dovecot/pop3 ] || ! [ -x /usr/sbin/postfix ] ||
  ! command -v python3 >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  # Keep the packages' own services from starting and Postfix from writing a system
  # configuration: our instances run from private configurations only.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
    made_policy=1
  fi
  echo "postfix postfix/main_mailer_type select No configuration" | "${sudo_cmd[@]}" debconf-set-selections
  status=0
  scripts/install-deps.sh "${packages[@]}" || status=$?
  [ "$made_policy" -eq 0 ] || "${sudo_cmd[@]}" rm -f "$policy"
  [ "$status" -eq 0 ] || exit "$status"
fi

[ -x build/bin/postwain ] || scripts/build.sh build
python3 -B tests/e2e/run_tests.py build/bin
