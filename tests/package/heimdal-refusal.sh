#!/bin/sh
# A throwaway Heimdal realm in the root it runs in (scripts/debian-root
# trixie-heimdal), and credmend asking its kpasswdd for a password its
# quality check refuses. Prints credmend's report and exit status.
set -eu
folder=$(mktemp -d)
cat >"$folder/krb5.conf" <<CONF
[libdefaults]
  default_realm = HEIMDAL.TEST
  dns_lookup_kdc = false
[realms]
  HEIMDAL.TEST = {
    kdc = 127.0.0.1:$1
    kpasswd_server = 127.0.0.1:$2
  }
[kdc]
  database = {
    dbname = $folder/heimdal
    realm = HEIMDAL.TEST
    mkey_file = $folder/m-key
  }
CONF
export KRB5_CONFIG="$folder/krb5.conf"
heimdal() { kadmin.heimdal --config-file="$KRB5_CONFIG" -l "$@"; }
kstash --random-key --key-file="$folder/m-key" >/dev/null
heimdal init --realm-max-ticket-life=1d --realm-max-renewable-life=1d HEIMDAL.TEST
heimdal add --password=Old-pass-1 --use-defaults bob
/usr/lib/heimdal-servers/kdc --config-file="$KRB5_CONFIG" --ports="$1" &
kdc=$!
/usr/lib/heimdal-servers/kpasswdd --config-file="$KRB5_CONFIG" --port="$2" &
kpasswdd=$!
trap 'kill $kdc $kpasswdd' EXIT
sleep 1
status=0
credmend HEIMDAL.TEST bob abc Old-pass-1 || status=$?
echo "status $status"
