#!/usr/bin/env bash
# scripts/windows.sh against its built cache, as CI and a benchmark may run it: two runs started
# together both end with the same program and leave the cache as it was, and a run given a
# certificate signs the program. Runs without a network (a network namespace of its own, so as
# root), as a test must: the script then keeps the versions its last run chose.
set -euo pipefail
source_dir=$(realpath "$1")
if [ "$(id -u)" -ne 0 ]; then
    echo "A network namespace of the test's own needs root, as CI has."
    exit 77
fi
cache_root=${LARKSPUR_WINDOWS_CACHE:-/var/cache/larkspur-windows}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

windows()
{
    BUILD_DIR=$work/$1 timeout 900 unshare --net "$source_dir/scripts/windows.sh" >"$work/$1.log" 2>&1
}
# Every file of every built cache, with its size and time of change.
cache_state()
{
    find "$cache_root" -mindepth 1 -maxdepth 1 -type d ! -name apt -exec find {} -printf '%p %s %T@\n' \; |
        sort
}

before=$(cache_state)
windows first &
first=$!
windows second &
second=$!
wait "$first" || { cat "$work/first.log"; exit 1; }
wait "$second" || { cat "$work/second.log"; exit 1; }
grep -q "waiting for another windows.sh run" "$work/first.log" "$work/second.log"
cmp "$work/first/Larkspur Installer.exe" "$work/second/Larkspur Installer.exe"
[ "$(cache_state)" = "$before" ]

# A code-signing certificate of the test's own, in the PKCS#12 file a vendor would have.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Larkspur Test Signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/certificate.pem" \
    2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/certificate.pem" -out "$work/signer.pfx" \
    -passout pass:larkspur
! osslsigncode verify -CAfile "$work/certificate.pem" -in "$work/first/Larkspur Installer.exe" \
    >/dev/null 2>&1
LARKSPUR_SIGNING_PFX=$work/signer.pfx LARKSPUR_SIGNING_PASSWORD=larkspur windows first
osslsigncode verify -CAfile "$work/certificate.pem" -in "$work/first/Larkspur Installer.exe" |
    grep -q "Signature verification: ok"
echo "two runs at once built the same program, the cache is intact, and a given certificate signs"
