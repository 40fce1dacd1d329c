// Certificates for the chain and store tests, made once per test program by openssl: a root, an
// intermediate and leaves, issuers that may not issue (no cA, no keyCertSign, no basicConstraints,
// version 1 below the root, past their path length), dated, MD5-signed, forged and looping
// certificates, and a version 1 root. Names are the files' base names.
#pragma once

#include <map>
#include <string>

#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

inline const char* const kCertChainsScript = R"SH(set -e
cat > ca.cnf <<'EOF2'
[ca]
default_ca = d
[d]
database = index.txt
new_certs_dir = .
serial = serial
policy = p
unique_subject = no
copy_extensions = none
default_days = 30
[p]
commonName = supplied
organizationName = optional
organizationalUnitName = optional
EOF2
: > index.txt; echo 1000 > serial
key() {
  [ -f $1.key ] && return 0
  case $1 in rsa*) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $1.key 2>/dev/null;;
    *) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key 2>/dev/null;; esac
}
# mk name key issuer(self|name) subject extensions [digest] [start end]
mk() {
  key $2
  openssl req -new -key $2.key -subj "$4" -out $1.csr 2>/dev/null
  printf "$5" > $1.ext
  extopt=""; [ -s $1.ext ] && extopt="-extfile $1.ext"
  dates=""; [ -n "$7" ] && dates="-startdate $7 -enddate $8"
  if [ "$3" = self ]; then signer="-selfsign -keyfile $2.key"; else signer="-cert $3.pem -keyfile $(cat $3.kn).key"; fi
  echo $2 > $1.kn
  openssl ca -batch -notext -preserveDN -config ca.cnf -md ${6:-sha256} $signer $extopt $dates -in $1.csr -out $1.pem 2>/dev/null
  openssl x509 -in $1.pem -outform DER -out $1.der
}
CA='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'
LEAF='subjectAltName=DNS:www.example.com\n'
mk root root self "/CN=Chain Root" "$CA"
mk ica ica root "/O=Chain/CN=Chain ICA" "$CA"
mk leaf leaf ica "/CN=leaf.example.com" "$LEAF"
mk ica_noca icanoca root "/CN=No CA" 'basicConstraints=critical,CA:FALSE\n'
mk leaf_noca leaf ica_noca "/CN=leaf.example.com" "$LEAF"
mk ica_noku icanoku root "/CN=No KU" 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,digitalSignature\n'
mk leaf_noku leaf ica_noku "/CN=leaf.example.com" "$LEAF"
mk ica_nobc icanobc root "/CN=No BC" 'subjectKeyIdentifier=hash\n'
mk leaf_nobc leaf ica_nobc "/CN=leaf.example.com" "$LEAF"
mk v1root v1root self "/CN=V1 Root" ""
mk leaf_v1 leaf v1root "/CN=leaf.example.com" "$LEAF"
mk v1ica v1ica root "/CN=V1 ICA" ""
mk leaf_v1ica leaf v1ica "/CN=leaf.example.com" "$LEAF"
mk ica_pl0 icapl0 root "/CN=Pathlen Zero" 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=keyCertSign\n'
mk ica_under_pl0 icaunder ica_pl0 "/CN=Under Pathlen Zero" "$CA"
mk leaf_pl leaf ica_under_pl0 "/CN=leaf.example.com" "$LEAF"
mk leaf_pl0 leaf ica_pl0 "/CN=leaf.example.com" "$LEAF"
mk leaf_expired leaf ica "/CN=leaf.example.com" "$LEAF" sha256 20200101000000Z 20210101000000Z
mk leaf_notyet leaf ica "/CN=leaf.example.com" "$LEAF" sha256 20900101000000Z 20910101000000Z
mk ica_expired icaexp root "/CN=Expired ICA" "$CA" sha256 20200101000000Z 20210101000000Z
mk leaf_under_expired leaf ica_expired "/CN=leaf.example.com" "$LEAF"
mk root_expired rootexp self "/CN=Expired Root" "$CA" sha256 20200101000000Z 20210101000000Z
mk leaf_under_expired_root leaf root_expired "/CN=leaf.example.com" "$LEAF"
mk ica_rsa rsaica root "/CN=RSA ICA" "$CA"
mk leaf_rsa rsaleaf ica_rsa "/CN=leaf.example.com" "$LEAF"
mk leaf_md5 rsaleaf ica_rsa "/CN=leaf.example.com" "$LEAF" md5
mk evil evil self "/O=Chain/CN=Chain ICA" "$CA"
mk leaf_forged leaf evil "/CN=leaf.example.com" "$LEAF"
mk cyA0 cyA self "/CN=Cycle A" "$CA"
mk cyB0 cyB self "/CN=Cycle B" "$CA"
mk cyA cyA cyB0 "/CN=Cycle A" "$CA"
mk cyB cyB cyA0 "/CN=Cycle B" "$CA"
mk leaf_cy leaf cyA "/CN=leaf.example.com" "$LEAF"
echo made
)SH";

struct CertChains {
    TempDir Dir;
    bool Made = false;
    std::map<std::string, std::string> Cache;

    CertChains() {
        auto out = RunOracle("cd '" + Dir.path() + "' && sh -s", kCertChainsScript, 120);
        Made = out && out->find("made") != std::string::npos;
    }
    // The DER of a certificate by name; empty when unknown.
    const std::string& Der(const std::string& name) {
        auto found = Cache.find(name);
        if (found == Cache.end()) found = Cache.emplace(name, ReadFile(Dir.file(name + ".der"))).first;
        return found->second;
    }
    std::string Pem(const std::string& name) const { return ReadFile(Dir.file(name + ".pem")); }
};
