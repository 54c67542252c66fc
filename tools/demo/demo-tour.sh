#!/usr/bin/env bash
# A short tour of the offline demo drive, as `make demo` runs it:
#   tools/demo/demo-tour.sh PATH/TO/nimbus
set -euo pipefail
nimbus=${1:?usage: demo-tour.sh PATH/TO/nimbus}

show() {
    local line="$ nimbus" a
    for a in "$@"; do
        if [[ $a =~ ^[A-Za-z0-9_./-]+$ ]]; then line+=" $a"; else line+=" '$a'"; fi
    done
    printf '\n%s\n' "$line"
}
step() {
    show "$@"
    "$nimbus" "$@"
}

step --demo list /
step --demo list /Music
step --demo --long list "/Music/Ylfa Ránardóttir/Hvítá"
step --demo --long stream "/Music/Ylfa Ránardóttir/Hvítá/02 Jökulá.mp3"
step --demo search moon
step --demo about
# 240 entries arrive in two pages of 200 and 40; --verbose counts the exchanges.
show --demo --verbose list "/Podcasts/Radio Archive"
"$nimbus" --demo --verbose list "/Podcasts/Radio Archive" 2>&1 |
    awk 'NR <= 3 { print; next } /entries|exchanges/ { if (!gap) print "  ..."; gap = 1; print }'
step --demo validate
cat <<'EOF'

The gateway and the MediaServer run on the demo drive too (Ctrl-C stops them):
  nimbus --demo serve                  then open http://127.0.0.1:8080/
  nimbus --demo serve --dlna --listen 192.168.1.5:8080
                                       TVs on that network list it as well

Next, your own drive: sign in with `nimbus login --client-id ID` ("Getting
credentials" in docs/user-guide.md tells how to get an ID), then run `nimbus list /`;
`nimbus --help` (and, once installed, `man nimbus`) tells the rest.
EOF
