#!/usr/bin/env bash
# The cost of the installer's signature check on Windows, under Wine: the whole update of a signed
# installer (256 MiB by default, served by nginx on 127.0.0.1) by the signed program, which checks
# it, and by the same program unsigned, which checks nothing. The difference is the check's cost;
# in the same rounds osslsigncode verify and sha256sum read the same installer on Linux. The runs
# take turns, starting alternately; the script prints every round and the medians of the check's
# cost, of the ratio signed / unsigned and of the cost against each of the two tools.
#   SIGNATURE_BENCH_MIB     size of the installer, in MiB (default 256)
#   SIGNATURE_BENCH_ROUNDS  rounds (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
install_missing_packages "${SIGNATURE_BENCH_PACKAGES[@]}"

size_mib=${SIGNATURE_BENCH_MIB:-256}
rounds=${SIGNATURE_BENCH_ROUNDS:-5}
build_dir=build-bench-signature
work=$(realpath -m "$build_dir/signature")
# The longest any process of ours may run: Xvfb and the Wine server outlive all rounds.
session_limit=$((1200 + rounds * 1200))
# The longest one update may take; a refused one waits for a click on its box until then.
run_limit=$((60 + size_mib / 2))

# The program unsigned, as a development build is, whatever the environment says about signing.
env -u LARKSPUR_SIGNING_PFX BUILD_DIR="$build_dir/windows" scripts/windows.sh >/dev/null
fake_installer="$build_dir/fakeinstaller.exe"
fake_source=tests/fakeinstaller/fakeinstaller.cpp
if [ ! -f "$fake_installer" ] || [ "$fake_source" -nt "$fake_installer" ]; then
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -static "$fake_source" -o "$fake_installer"
fi

# Everything below is made anew for every run: certificates, programs, installer and prefix.
rm -rf "$work"
mkdir -p "$work/certificates" "$work/unsigned" "$work/signed" "$work/served"
# Runs a command whose chatter matters only when it fails.
quietly()
{
    "$@" >"$work/quietly.log" 2>&1 || {
        echo "Failed: $*" >&2
        cat "$work/quietly.log" >&2
        return 1
    }
}
certificates="$work/certificates"
quietly openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Larkspur Bench Root" \
    -keyout "$certificates/root.key" -out "$certificates/root.pem"
quietly openssl req -newkey rsa:2048 -nodes -subj "/O=Fernhollow/CN=Larkspur Bench Publisher" \
    -keyout "$certificates/signer.key" -out "$certificates/signer.csr"
quietly openssl x509 -req -days 2 -in "$certificates/signer.csr" -CA "$certificates/root.pem" \
    -CAkey "$certificates/root.key" -set_serial 1 -out "$certificates/signer.pem" \
    -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n')
cat "$certificates/signer.pem" "$certificates/root.pem" >"$certificates/signer.chain"

sign()
{
    osslsigncode sign -certs "$certificates/signer.chain" -key "$certificates/signer.key" \
        -h sha256 -in "$1" -out "$2" >/dev/null
}

cp "$build_dir/windows/Larkspur Installer.exe" "$work/unsigned/"
sign "$build_dir/windows/Larkspur Installer.exe" "$work/signed/Larkspur Installer.exe"
# The fake installer followed by random bytes up to the size: a program's trailing bytes are never
# loaded, so the program really starts it. Signed by the program's own signer, so that it runs.
installer="$work/served/Update.exe"
echo "Generating and signing the ${size_mib} MiB installer"
padding=$((size_mib * 1024 * 1024 - $(stat -c %s "$fake_installer")))
if [ "$padding" -lt 0 ]; then
    echo "The fake installer alone is larger than ${size_mib} MiB" >&2
    exit 1
fi
{
    cat "$fake_installer"
    head -c "$padding" /dev/urandom
} >"$work/Update-unsigned.exe"
sign "$work/Update-unsigned.exe" "$installer"
rm "$work/Update-unsigned.exe"

start_nginx "$work/served" "$work/nginx"
url="$nginx_url/Update.exe"

# Wine in a prefix of our own, on an X display of our own; nothing of the machine's is touched.
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# The Windows program knows only its own platform plugin.
unset QT_QPA_PLATFORM
wineserver_pid=
display_pid=
stop_all()
{
    if [ -n "$wineserver_pid" ]; then
        timeout 30 wineserver -k || true
    fi
    local pid
    for pid in $wineserver_pid $display_pid $nginx_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap stop_all EXIT
# The server stays for all rounds, so that no run pays for its start. A Wine process that comes
# before it is listening waits for it.
mkdir -p "$WINEPREFIX"
timeout "$session_limit" wineserver --foreground --persistent &
wineserver_pid=$!
# Every Wine process of a prefix binds to the display its first one saw: the display comes first.
timeout "$session_limit" Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp \
    3>"$work/display" 2>"$work/xvfb.log" &
display_pid=$!
for _ in $(seq 150); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY
echo "Preparing the Wine prefix"
quietly timeout 600 wineboot -i
# The root is trusted by this prefix alone, as Windows keeps one in the registry (property 32, the
# certificate itself), so that the check follows the path of a release on Windows.
read -r root_key root_blob < <(python3 - "$certificates/root.pem" <<'PYTHON'
import hashlib, ssl, struct, sys
der = ssl.PEM_cert_to_DER_cert(open(sys.argv[1]).read())
print(hashlib.sha1(der).hexdigest().upper(), (struct.pack("<III", 32, 1, len(der)) + der).hex())
PYTHON
)
quietly timeout 60 wine reg add \
    "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$root_key" \
    /v Blob /t REG_BINARY /d "$root_blob" /f

# Runs a fresh copy of the signed or unsigned program in a fresh folder, which it downloads into,
# and sets program_ms. The fake installer it starts writes its log in the working folder.
run_update()
{
    local kind=$1 folder="$work/run-$1"
    rm -rf "$folder"
    mkdir -p "$folder"
    cp "$work/$kind/Larkspur Installer.exe" "$folder/"
    rm -f "$work/installer.log"
    local start end status=0
    start=$(nanoseconds_now)
    (cd "$work" && LARKSPUR_FAKE_INSTALLER_LOG=installer.log LARKSPUR_FAKE_INSTALLER_SECONDS=0 \
        timeout "$run_limit" wine "$folder/Larkspur Installer.exe" x "$url" >/dev/null 2>&1) ||
        status=$?
    end=$(nanoseconds_now)
    # The installer runs on after the program's exit: its last line says it has ended.
    for _ in $(seq 300); do
        [ "$status" -eq 0 ] || break
        grep -qx finished "$work/installer.log" 2>/dev/null && break
        sleep 0.1
    done
    if [ "$status" -ne 0 ] || ! grep -qx "no update under way" "$work/installer.log" 2>/dev/null ||
        ! grep -qx finished "$work/installer.log"; then
        local why="status $status"
        [ "$status" -ne 124 ] || why="still running after $run_limit s, most likely on its box"
        echo "The $kind program's update did not go through ($why); installer log:" \
            "$(paste -sd ' ' "$work/installer.log" 2>/dev/null)" >&2
        exit 1
    fi
    rm -rf "$folder"
    program_ms=$(((end - start) / 1000000))
}

run_signed()
{
    run_update signed
    signed_ms=$program_ms
}

run_unsigned()
{
    run_update unsigned
    unsigned_ms=$program_ms
}

run_peers()
{
    local start middle end
    start=$(nanoseconds_now)
    timeout 600 osslsigncode verify -CAfile "$certificates/root.pem" -in "$installer" >/dev/null
    middle=$(nanoseconds_now)
    timeout 600 sha256sum "$installer" >/dev/null
    end=$(nanoseconds_now)
    verify_ms=$(((middle - start) / 1000000))
    sha256_ms=$(((end - middle) / 1000000))
}

# The first run of a new prefix loads what later runs find ready: it is not measured.
run_unsigned

costs=()
ratios=()
verify_ratios=()
sha256_ratios=()
echo "Installer of ${size_mib} MiB under Wine, $rounds rounds (milliseconds)"
for round in $(seq 1 "$rounds"); do
    if ((round % 2)); then
        run_signed
        run_unsigned
        run_peers
    else
        run_peers
        run_unsigned
        run_signed
    fi
    cost=$((signed_ms - unsigned_ms))
    costs+=("$cost")
    ratios+=("$(ratio "$signed_ms" "$unsigned_ms")")
    verify_ratios+=("$(ratio "$cost" "$verify_ms")")
    sha256_ratios+=("$(ratio "$cost" "$sha256_ms")")
    echo "round $round: signed $signed_ms, unsigned $unsigned_ms, check $cost," \
        "osslsigncode verify $verify_ms, sha256sum $sha256_ms"
done

echo "median cost of the check: $(median "${costs[*]}") ms"
echo "median ratio signed / unsigned: $(median "${ratios[*]}")"
echo "median ratio check / osslsigncode verify: $(median "${verify_ratios[*]}")"
echo "median ratio check / sha256sum: $(median "${sha256_ratios[*]}")"
