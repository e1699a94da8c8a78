#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the TLS tests' certificates in folder $1 with the openssl command: an authority the
# tests trust, a rogue one they do not, and server certificates (all for one RSA key: RSA is
# what every backend loads) good, expired, for another name, from the rogue authority, and with
# wildcards. chain.pem is the good certificate followed by its authority.
set -e
cd "$1"
key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
ca() { key "$1.key"; openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 3650 -out "$1.pem"; }
leaf() {
    openssl req -new -key "$2" -subj "/CN=$4" -out "$1.csr"
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$5" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days "$6" \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
ca ca 'Packwarden Test Authority'
ca rogue 'Rogue Authority'
key server.key
key other.key
leaf server server.key ca localhost 'DNS:localhost,IP:127.0.0.1,IP:::1' 3650
leaf expired server.key ca localhost 'DNS:localhost,IP:127.0.0.1,IP:::1' -1
leaf wrong server.key ca elsewhere.invalid 'DNS:elsewhere.invalid,IP:10.9.9.9' 3650
leaf untrusted server.key rogue localhost 'DNS:localhost,IP:127.0.0.1' 3650
leaf wild server.key ca wild 'DNS:*.wild.invalid,DNS:f*.part.invalid' 3650
cat server.pem ca.pem > chain.pem
