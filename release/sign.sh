#!/usr/bin/env bash
# Authenticode signatures (SHA-256) for the kit's Windows programs, when QUARV_SIGN_PFX names a
# PKCS#12 file (certificate, its chain and key) and QUARV_SIGN_PASS_FILE a file holding its
# password; QUARV_SIGN_TIMESTAMP, an RFC 3161 timestamp server's URL, is the only use of the
# network. Without a timestamp server the signing time is SOURCE_DATE_EPOCH, so two signed builds
# of one commit are the same bytes.
# Sourced by build.sh and check.sh. Run alone: `release/sign.sh check` checks the certificate,
# `release/sign.sh IN OUT` checks it and signs IN into OUT.

sign_wanted() { [[ -n ${QUARV_SIGN_PFX:-} ]]; }

sign_fail() {
  echo "signing: $*" >&2
  return 1
}

sign_subject() { openssl x509 -noout -subject -nameopt oneline <<<"$1" | sed 's/^subject= *//'; }

sign_date() { openssl x509 -noout "-$2" <<<"$1" | sed 's/^[a-zA-Z]*=//'; }

# What would make a signature fail, or be shown as invalid on Windows, before anything is built:
# the tools, the files, the password, the certificate's use and dates. The paths are made
# absolute, for builds that run elsewhere (release/repro.sh).
sign_check() {
  local tool
  for tool in osslsigncode openssl; do
    command -v $tool >/dev/null ||
      sign_fail "QUARV_SIGN_PFX is set, but $tool is not installed (apt-get install $tool;" \
        "cmake/install-deps.sh installs it)" || return
  done
  [[ -n ${QUARV_SIGN_PASS_FILE:-} ]] ||
    sign_fail "QUARV_SIGN_PFX is set without QUARV_SIGN_PASS_FILE, the file holding its" \
      "password" || return
  local name
  for name in QUARV_SIGN_PFX QUARV_SIGN_PASS_FILE; do
    [[ -f ${!name} && -r ${!name} ]] || sign_fail "$name ${!name} is not a readable file" || return
    export "$name=$(realpath -- "${!name}")"
  done
  # A file of OpenSSL 1's default ciphers needs the legacy provider, as osslsigncode loads it.
  local certificate legacy
  for legacy in "" -legacy; do
    certificate=$(openssl pkcs12 $legacy -in "$QUARV_SIGN_PFX" \
      -passin file:"$QUARV_SIGN_PASS_FILE" -nokeys -clcerts 2>&1) && break
    [[ $certificate == *unsupported* ]] && continue
    if [[ ${certificate,,} == *"mac verify"* ]]; then
      sign_fail "the password in $QUARV_SIGN_PASS_FILE does not open $QUARV_SIGN_PFX (wrong" \
        "password)"
    else
      sign_fail "$QUARV_SIGN_PFX is not a PKCS#12 file that can be read (openssl:" \
        "$(sed -n 's/^[0-9A-F]*:error:[0-9A-F]*:\([^:]*\):[^:]*:\([^:]*\):.*/\1, \2/p' \
          <<<"$certificate" | head -1))"
    fi
    return 1
  done
  certificate=$(sed -n '/-----BEGIN CERTIFICATE-----/,/-----END CERTIFICATE-----/p' \
    <<<"$certificate" | sed '/-----END CERTIFICATE-----/q')
  [[ -n $certificate ]] || sign_fail "$QUARV_SIGN_PFX holds no certificate for its key" || return
  local subject uses
  subject=$(sign_subject "$certificate")
  uses=$(openssl x509 -noout -ext extendedKeyUsage <<<"$certificate" 2>/dev/null |
    sed -n '2,$s/^ *//p')
  [[ $uses == *"Code Signing"* ]] ||
    sign_fail "the certificate of $QUARV_SIGN_PFX ($subject) is not for code signing (its" \
      "extended key usage: ${uses:-none}); Windows does not accept its signatures: a code" \
      "signing certificate is needed" || return
  # With no timestamp, Windows checks the certificate at the time the program is run.
  openssl x509 -noout -checkend 0 <<<"$certificate" >/dev/null ||
    sign_fail "the certificate of $QUARV_SIGN_PFX ($subject) expired on" \
      "$(sign_date "$certificate" enddate), before now ($(date -u '+%b %e %T %Y GMT'));" \
      "Windows shows a signature made with it as invalid: renew the certificate" || return
  local from
  from=$(sign_date "$certificate" startdate)
  (($(date -d "$from" +%s) <= $(date +%s))) ||
    sign_fail "the certificate of $QUARV_SIGN_PFX ($subject) is not valid before $from" || return
  local when="signing time SOURCE_DATE_EPOCH"
  [[ -z ${SOURCE_DATE_EPOCH:-} ]] || when+=" ($(date -u -d @"$SOURCE_DATE_EPOCH" '+%F %T') UTC)"
  [[ -z ${QUARV_SIGN_TIMESTAMP:-} ]] || when="timestamped by $QUARV_SIGN_TIMESTAMP"
  echo "signing with $subject, valid until $(sign_date "$certificate" enddate), $when"
}

# IN signed into OUT, through a folder of its own beside it (osslsigncode does not overwrite):
# OUT is whole or as it was.
sign_exe() {
  local in=$1 out=$2 log temporary
  local when=(-time "$SOURCE_DATE_EPOCH")
  [[ -z ${QUARV_SIGN_TIMESTAMP:-} ]] || when=(-ts "$QUARV_SIGN_TIMESTAMP")
  temporary=$(mktemp -d "$out.signing-XXXXXX") || sign_fail "cannot write beside $out" || return
  log=$(osslsigncode sign -pkcs12 "$QUARV_SIGN_PFX" -readpass "$QUARV_SIGN_PASS_FILE" -h sha256 \
    "${when[@]}" -in "$in" -out "$temporary/signed.exe" 2>&1) &&
    chmod 644 "$temporary/signed.exe" && mv -T "$temporary/signed.exe" "$out" || {
    rm -rf "$temporary"
    sign_fail "osslsigncode could not sign $in into $out:" \
      "$(grep -v -e '^Failed$' -e '^$' <<<"$log" | head -3)"
    return 1
  }
  rmdir "$temporary"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -uo pipefail
  sign_wanted || sign_fail "QUARV_SIGN_PFX is not set" || exit 2
  sign_check >/dev/null || exit 1
  [[ ${1:-} == check ]] && exit 0
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}
  (($# == 2)) || sign_fail "usage: release/sign.sh check | release/sign.sh IN.exe OUT.exe" || exit 2
  sign_exe "$1" "$2" || exit 1
fi
