#!/bin/sh
# Makes the TLS material for the test collector in the folder given as the
# only argument:
#
#   ca.pem, ca.key                        test CA (the one a test prefix trusts)
#   server.pem, server.key                server certificate signed by that CA
#   untrusted-ca.pem, untrusted-ca.key    a second CA that is never trusted
#   untrusted-server.pem, .key            server certificate signed by it
#   selfsigned.pem, selfsigned.key        self-signed server certificate
#
# Every server certificate names localhost, collector.test and other.test,
# is for serverAuth only and carries no CRL distribution point and no
# authority information access, so a client's revocation check has nothing
# to fetch. Validity is 10 years from the moment of creation.
#
# Idempotent: when a complete, consistent set that is valid for at least
# another 30 days is already there, nothing is touched.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTPUT_FOLDER" >&2
    exit 64
fi
out=$1
command -v openssl >/dev/null 2>&1 || { echo "make_certs: openssl not found" >&2; exit 1; }
mkdir -p "$out"

DAYS=3650
SANS="DNS:localhost,DNS:collector.test,DNS:other.test"
FILES="ca.pem ca.key server.pem server.key untrusted-ca.pem untrusted-ca.key
untrusted-server.pem untrusted-server.key selfsigned.pem selfsigned.key"

# --- already complete? -------------------------------------------------------
complete=yes
for f in $FILES; do
    [ -s "$out/$f" ] || { complete=no; break; }
done
if [ "$complete" = yes ]; then
    ok=yes
    for c in ca server untrusted-ca untrusted-server selfsigned; do
        openssl x509 -in "$out/$c.pem" -noout -checkend $((30 * 86400)) >/dev/null 2>&1 || ok=no
        # the key must belong to the certificate
        kc=$(openssl x509 -in "$out/$c.pem" -noout -pubkey 2>/dev/null | openssl sha256 2>/dev/null) || ok=no
        kk=$(openssl pkey -in "$out/$c.key" -pubout 2>/dev/null | openssl sha256 2>/dev/null) || ok=no
        [ "$kc" = "$kk" ] || ok=no
    done
    openssl verify -CAfile "$out/ca.pem" "$out/server.pem" >/dev/null 2>&1 || ok=no
    openssl verify -CAfile "$out/untrusted-ca.pem" "$out/untrusted-server.pem" >/dev/null 2>&1 || ok=no
    if [ "$ok" = yes ]; then
        echo "make_certs: $out is up to date"
        exit 0
    fi
fi

# --- make a fresh set in a work folder, then move it into place --------------
work=$(mktemp -d "$out/.make_certs.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
umask 077

cat >"$work/openssl.cnf" <<EOF
[ req ]
distinguished_name = dn
prompt             = no
[ dn ]
CN = unused
[ ca_ext ]
basicConstraints       = critical, CA:TRUE
keyUsage               = critical, keyCertSign, cRLSign
subjectKeyIdentifier   = hash
[ server_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectAltName         = $SANS
subjectKeyIdentifier   = hash
authorityKeyIdentifier = keyid
[ selfsigned_ext ]
basicConstraints       = critical, CA:FALSE
keyUsage               = critical, digitalSignature, keyEncipherment
extendedKeyUsage       = serverAuth
subjectAltName         = $SANS
subjectKeyIdentifier   = hash
EOF
cnf=$work/openssl.cnf

new_key() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null
}

serial() {
    # 16 random bytes with the top bit cleared: always a positive serial
    printf '0x7%s' "$(openssl rand -hex 16 | cut -c2-)"
}

make_ca() { # name subject
    new_key "$work/$1.key"
    openssl req -config "$cnf" -new -x509 -sha256 -days $DAYS -set_serial "$(serial)" \
        -key "$work/$1.key" -subj "$2" -extensions ca_ext -out "$work/$1.pem"
}

make_server() { # name subject issuer
    new_key "$work/$1.key"
    openssl req -config "$cnf" -new -sha256 -key "$work/$1.key" -subj "$2" -out "$work/$1.csr"
    openssl x509 -req -sha256 -days $DAYS -set_serial "$(serial)" -in "$work/$1.csr" \
        -CA "$work/$3.pem" -CAkey "$work/$3.key" \
        -extfile "$cnf" -extensions server_ext -out "$work/$1.pem" 2>/dev/null
}

make_ca ca "/O=Mirto Test/CN=Mirto Test CA"
make_server server "/O=Mirto Test/CN=localhost" ca
make_ca untrusted-ca "/O=Mirto Test/CN=Mirto Untrusted Test CA"
make_server untrusted-server "/O=Mirto Test/CN=localhost" untrusted-ca
new_key "$work/selfsigned.key"
openssl req -config "$cnf" -new -x509 -sha256 -days $DAYS -set_serial "$(serial)" \
    -key "$work/selfsigned.key" -subj "/O=Mirto Test/CN=localhost" \
    -extensions selfsigned_ext -out "$work/selfsigned.pem"

openssl verify -CAfile "$work/ca.pem" "$work/server.pem" >/dev/null
openssl verify -CAfile "$work/untrusted-ca.pem" "$work/untrusted-server.pem" >/dev/null

for f in $FILES; do
    case $f in
        *.pem) chmod 644 "$work/$f" ;;
        *.key) chmod 600 "$work/$f" ;;
    esac
    mv -f "$work/$f" "$out/$f"
done
echo "make_certs: wrote a new set to $out"
