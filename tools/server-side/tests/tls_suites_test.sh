#!/usr/bin/env bash
# The TLS suites ostreld offers, as sslscan sees them, for an RSA and an
# ECDSA certificate made here: TLS 1.3, and on TLS 1.2 only suites with
# ephemeral key exchange (ECDHE/DHE) and an AEAD cipher (AES-GCM or
# ChaCha20-Poly1305): no static RSA key exchange, no CBC, no SHA-1 MAC, and
# no TLS 1.0, 1.1 or SSL at all.  kelbrin still commits over it.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../tests/support/init.sh"
. "$SUPPORT_DIR/ostreld_fixture.sh"
KELBRIN=$BIN/kelbrin
[ -x "$KELBRIN" ] || { echo "setup: $KELBRIN is not built" >&2; exit 99; }
for tool in sslscan openssl; do
  command -v $tool >/dev/null || { echo "skip: $tool is not installed (scripts/install-deps)"; exit 77; }
done
cd "$T" || exit 99
mkdir root
"$BIN/ostrel-admin" create root/repo >/dev/null || exit 99

make_cert() {  # NAME KEY-OPTIONS...
  local name=$1
  shift
  openssl req -x509 "$@" -nodes -days 2 -subj /CN=localhost \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout "$name.key" -out "$name.pem" \
    >/dev/null 2>&1 || { echo "setup: openssl cannot make the $name certificate" >&2; exit 99; }
}
make_cert rsa -newkey rsa:2048
make_cert ecdsa -newkey ec -pkeyopt ec_paramgen_curve:P-256

for cert in rsa ecdsa; do
  start_ostreld "$T/root" --open --tls-cert "$T/$cert.pem" --tls-key "$T/$cert.key"
  timeout 120 sslscan --no-colour --no-heartbleed "$OSTRELD_ADDR" >"$cert.scan" 2>&1 ||
    fail "$cert: sslscan failed: $(tail -5 "$cert.scan")"
  # "Preferred TLSv1.2  256 bits  ECDHE-RSA-AES256-GCM-SHA384  Curve 25519 ..."
  grep -E '^(Preferred|Accepted) ' "$cert.scan" | awk '{ print $2, $5 }' >"$cert.suites"
  grep -q '^TLSv1.3 ' "$cert.suites" || fail "$cert: no TLS 1.3 suite: $(cat "$cert.scan")"
  grep -q '^TLSv1.2 ' "$cert.suites" || fail "$cert: no TLS 1.2 suite: $(cat "$cert.scan")"
  while read -r version suite; do
    case $version in
      TLSv1.3) ;;
      TLSv1.2)
        [[ $suite =~ ^(ECDHE|DHE)-(RSA|ECDSA)-(AES(128|256)-GCM-SHA(256|384)|CHACHA20-POLY1305)$ ]] ||
          fail "$cert: TLS 1.2 offers $suite (not ephemeral key exchange with AEAD)" ;;
      *) fail "$cert: $version is offered ($suite)" ;;
    esac
  done <"$cert.suites"
  # The protocol table agrees: the old versions are off.
  for old in 'SSLv2' 'SSLv3' 'TLSv1.0' 'TLSv1.1'; do
    grep -Eq "^$old +enabled" "$cert.scan" && fail "$cert: $old is enabled"
  done
  status=0
  "$KELBRIN" --config-option "config:https:ca-file=$T/$cert.pem" -m "over $cert" \
    mkdir "https://localhost:${OSTRELD_ADDR##*:}/repo/$cert" >out 2>err || status=$?
  expect_status 0 $status "a commit over TLS with the $cert certificate ($(cat err))"
  stop_ostreld
done
finish
