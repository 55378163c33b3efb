#!/bin/sh
# Makes a throw-away test CA and a server certificate signed by it (P-256).
# usage: make-certs.sh DIR [HOST]   (HOST defaults to localhost, which also names 127.0.0.1)
# Writes DIR/ca.pem, DIR/ca.key, DIR/server.pem, DIR/server.key.
set -eu
dir=$1
host=${2:-localhost}
# A certificate for another host names no IP either, so host-name checks fail.
san=DNS:$host,IP:127.0.0.1
[ "$host" = localhost ] || san=DNS:$host
mkdir -p "$dir"
cd "$dir"
umask 077
openssl ecparam -name prime256v1 -genkey -noout -out ca.key 2>/dev/null
openssl req -x509 -new -key ca.key -sha256 -days 3650 -subj "/CN=Velantis Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.pem 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out server.key 2>/dev/null
openssl req -new -key server.key -subj "/CN=$host" -out server.csr 2>/dev/null
cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$san
EXT
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days 3650 \
  -extfile server.ext -out server.pem 2>/dev/null
rm -f server.csr server.ext ca.srl
chmod 644 ca.pem server.pem
