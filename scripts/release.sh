#!/usr/bin/env bash
# Builds Dalvento's release files into build/release/: the program (dalvento.exe, and
# dalvento-check.exe where the build makes it), the installer and the portable zip, with
# SHA256SUMS of them beside. The same commit gives the same unsigned files wherever and whenever
# it is built.
#
# Signing: when DALVENTO_SIGN_PFX (a PKCS#12 file holding the certificate and its key) and
# DALVENTO_SIGN_PASSWORD (its password) are set, the programs are signed with Authenticode
# (SHA-256) before they are packed, so the installed and unpacked copies are signed too, and the
# installer is signed after. With DALVENTO_SIGN_TIMESTAMP_URL set as well, every signature gets an
# RFC 3161 time stamp from that service, so it stays valid after the certificate expires. Without
# a certificate the files are built unsigned, and the script says so.
#
#   --build-dir DIR   a configured Windows build folder to build in (default: build/windows,
#                     configured from the windows preset)
#   --out DIR         where the release files go (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

say() { printf '== %s\n' "$*"; }
fail() {
    echo "release: $*" >&2
    exit 1
}
usage() {
    echo "usage: $0 [--build-dir DIR] [--out DIR]" >&2
    exit 2
}

BUILD=""
OUT="$ROOT/build/release"
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir)
            [ $# -ge 2 ] || usage
            BUILD=$(realpath "$2")
            shift 2
            ;;
        --out)
            [ $# -ge 2 ] || usage
            OUT=$(realpath -m "$2")
            shift 2
            ;;
        *) usage ;;
    esac
done

SIGN=""
if [ -n "${DALVENTO_SIGN_PFX:-}" ] || [ -n "${DALVENTO_SIGN_PASSWORD+set}" ]; then
    # Half a certificate is a mistake, not a wish for unsigned files.
    [ -n "${DALVENTO_SIGN_PFX:-}" ] ||
        fail "DALVENTO_SIGN_PASSWORD is set but DALVENTO_SIGN_PFX is not"
    [ -n "${DALVENTO_SIGN_PASSWORD+set}" ] ||
        fail "DALVENTO_SIGN_PFX is set but DALVENTO_SIGN_PASSWORD is not"
    [ -r "$DALVENTO_SIGN_PFX" ] || fail "can't read the certificate $DALVENTO_SIGN_PFX"
    SIGN=1
fi

./scripts/install-deps.sh

if [ -z "$BUILD" ]; then
    say "Configuring the Windows build in build/windows"
    cmake --preset windows >/dev/null
    BUILD="$ROOT/build/windows"
fi
CONFIG="$BUILD/packaging/stage.json"
say "Building the program and its packages in $BUILD"
cmake --build "$BUILD" --target dalvento_release_programs dalvento_msi dalvento_portable_zip
[ -f "$CONFIG" ] || fail "$BUILD has no package settings ($CONFIG); is it the Windows build?"

# What the build packs, from its package settings: one line per setting.
setting() {
    python3 -c 'import json, sys
value = json.load(open(sys.argv[1]))[sys.argv[2]]
print("\n".join(value) if isinstance(value, list) else value)' "$CONFIG" "$1"
}
STAGE=$(setting stage)
MSI=$(setting msi)
ZIP=$(setting zip)
mapfile -t PROGRAMS < <(setting programs)
mapfile -t PACKED < <(setting msi_files; setting zip_files)

mkdir -p "$OUT"
for f in "${PROGRAMS[@]}" "$MSI" "$ZIP" SHA256SUMS; do rm -f "$OUT/$f"; done
WORK=$(mktemp -d "$OUT/.work.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/stage"
for f in "${PROGRAMS[@]}" "${PACKED[@]}"; do cp "$STAGE/$f" "$WORK/stage/$f"; done

sign() {
    local file="$1" args=(-pkcs12 "$DALVENTO_SIGN_PFX" -readpass "$WORK/password" -h sha256
                          -n Dalvento)
    if [ -n "${DALVENTO_SIGN_TIMESTAMP_URL:-}" ]; then
        args+=(-ts "$DALVENTO_SIGN_TIMESTAMP_URL")
    fi
    # An installer's signature also covers its streams' names and dates (MsiDigitalSignatureEx).
    case "$file" in *.msi) args+=(-add-msi-dse) ;; esac
    osslsigncode sign "${args[@]}" -in "$file" -out "$file.signed" >"$WORK/sign.log" 2>&1 || {
        cat "$WORK/sign.log" >&2
        fail "could not sign $(basename "$file")"
    }
    mv "$file.signed" "$file"
    say "Signed $(basename "$file")"
}

if [ -n "$SIGN" ]; then
    # The password goes to osslsigncode in a file only this user can read, not on its command line.
    (umask 077 && printf '%s' "$DALVENTO_SIGN_PASSWORD" >"$WORK/password")
    for f in "${PROGRAMS[@]}"; do sign "$WORK/stage/$f"; done
fi
python3 packaging/package.py msi --config "$CONFIG" --stage "$WORK/stage" --output "$WORK/$MSI"
python3 packaging/package.py zip --config "$CONFIG" --stage "$WORK/stage" --output "$WORK/$ZIP"
if [ -n "$SIGN" ]; then sign "$WORK/$MSI"; fi

for f in "${PROGRAMS[@]}"; do mv "$WORK/stage/$f" "$OUT/$f"; done
mv "$WORK/$MSI" "$WORK/$ZIP" "$OUT/"
(cd "$OUT" && sha256sum -- "${PROGRAMS[@]}" "$MSI" "$ZIP" >"$WORK/SHA256SUMS" &&
    mv "$WORK/SHA256SUMS" SHA256SUMS)

say "Release files in $OUT:"
(cd "$OUT" && cat SHA256SUMS)
if [ -n "$SIGN" ]; then
    say "Signed with Authenticode by the certificate in $DALVENTO_SIGN_PFX" \
        "${DALVENTO_SIGN_TIMESTAMP_URL:+(time-stamped by $DALVENTO_SIGN_TIMESTAMP_URL)}"
else
    say "Not signed: set DALVENTO_SIGN_PFX and DALVENTO_SIGN_PASSWORD to sign the programs and" \
        "the installer."
fi
