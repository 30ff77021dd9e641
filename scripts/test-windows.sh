#!/usr/bin/env bash
# The Windows stage: cross-builds pwt.dll and postwain.exe, 32- and 64-bit, checks their
# export tables and DLL dependencies, and runs under Wine the backend's tests, the unit
# tests (the settings reader's list of reads among them, which our reader passes too), the
# integration tests against scripted servers, and mail checks of postwain.exe against
# private Dovecot and Postfix instances.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 googletest
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# 32-bit programs need 32-bit Wine from the i386 architecture. When the registry refuses
# it, the architecture is taken away again so that apt stays usable for everyone else.
wine32_installed() { dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; }
if ! wine32_installed; then
  if ! { "${sudo_cmd[@]}" dpkg --add-architecture i386 && "${sudo_cmd[@]}" apt-get update -q &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q wine32:i386; } >/dev/null 2>&1; then
    "${sudo_cmd[@]}" dpkg --remove-architecture i386 2>/dev/null || true
    "${sudo_cmd[@]}" apt-get update -q >/dev/null 2>&1 || true
  fi
fi

# Installed is not enough: a kernel without 32-bit support cannot start its loader.
wine32_tests=OFF
wine32_installed && /usr/lib/wine/wine --version >/dev/null 2>&1 && wine32_tests=ON
echo "== building build-win32/, build-win64/"
scripts/build.sh build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DPOSTWAIN_TESTS=$wine32_tests
scripts/build.sh build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DPOSTWAIN_TESTS=ON

# Exactly the two entry points with their ordinals, and only Windows' own DLLs.
check_binaries() {
  local bin=$1 exports imports
  exports=$(objdump -p "$bin/pwt.dll" | awk '
    /^Export Address Table -- Ordinal Base/ { base = $NF; part = "addresses"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { part = "names"; next }
    /^$/ { part = "" }
    part == "addresses" && /\[/ { count++ }
    part == "names" && /\[/ { gsub(/[][]/, ""); printf "%s@%d ", $2, $1 + base }
    END { printf "(%d exports)", count }')
  if [ "$exports" != "PostwainShutdown@1 PostwainStartUp@2 (2 exports)" ]; then
    echo "$bin/pwt.dll exports: $exports" >&2
    return 1
  fi
  for file in "$bin/pwt.dll" "$bin/postwain.exe"; do
    imports=$(objdump -p "$file" | awk '/DLL Name:/ { print tolower($3) }' |
      grep -v -x -E 'kernel32\.dll|user32\.dll|gdi32\.dll|wsock32\.dll|msvcrt\.dll|secur32\.dll|crypt32\.dll|winhttp\.dll|bcrypt\.dll' || true)
    if [ -n "$imports" ]; then
      echo "$file needs DLLs that are not Windows' own: $imports" >&2
      return 1
    fi
  done
  echo "$bin: pwt.dll exports $exports; only Windows' own DLLs needed"
}
check_binaries build-win32/bin
check_binaries build-win64/bin

# The 64-bit loader by name: once wine32 is installed, `wine` is the 32-bit one.
export WINEDEBUG=-all
export WINEPREFIX=$PWD/build-win64/wine-prefix
export WINE=/usr/lib/wine/wine64
echo "== preparing the Wine prefix"
"$WINE" wineboot --init >/dev/null 2>&1

run_wine_tests() {
  echo "== $1: backend, unit and integration tests under Wine"
  (cd "$1" && ctest --output-on-failure --timeout 300)
}
run_wine_tests build-win64
if [ "$wine32_tests" = ON ]; then
  # What a 32-bit build can get wrong is in the backend, the structures and the parsers;
  # the dialogues, transfers and simulated days run the same shared code as above.
  GTEST_FILTER='-*Scenarios*:*Transfer.*:*Session.*:DialogueSecurity.*:Scheduler.ChecksOverSimulatedDays:DemoServers.*' \
    run_wine_tests build-win32
else
  echo "== build-win32: not run, 32-bit Wine (wine32:i386) cannot be installed from the registry or cannot run here"
fi
# The mail servers come with the end-to-end stage, which runs before this one.
if [ -x /usr/sbin/dovecot ] && [ -x /usr/sbin/postfix ]; then
  echo "== postwain.exe run and check under Wine against Dovecot and Postfix"
  python3 -B tests/e2e/run_tests.py --wine build-win64/bin single_user_mailbox_delivers_every_message_whole_to_the_alias \
    domain_mailbox_spreads_messages_over_local_users postwain_check_asks_a_running_instance_for_a_check \
    tls_accounts_deliver_through_a_local_server_that_requires_starttls \
    untrusted_certificates_and_a_server_without_stls_get_no_password \
    auth_plain_to_dovecot_and_smtp_auth_on_a_submission_port_deliver \
    postwain_find_follows_a_message_refused_once_and_delivered_in_its_own_login
else
  echo "== the Wine mail check is not run: Dovecot and Postfix come with scripts/test-e2e.sh"
fi
echo "Windows tests passed."
