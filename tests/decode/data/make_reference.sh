#!/bin/sh
# Regenerates the reference message lists of the shared USB-PD captures with
# sigrok-cli and the decoder that Debian's libsigrokdecode ships. Run once by a
# developer (apt-get install sigrok-cli); the tests only read the lists.
# One line per packet: preamble start sample, SOP kind, role, message ID, name.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
captures=${1:-$here/captures}
unset SIGROKDECODE_DIR
for entry in apple_power_brick:CC1 power_supply_20V:CC1 \
             thinkpad_yoga_370-aukey_45w:CC2 zy12pds_sink_module-65w_noname_supply:CC1; do
    name=${entry%%:*}
    probe=${entry#*:}
    sigrok-cli -i "$captures/$name.sr" -P "usb_power_delivery:cc1=$probe" \
        -A usb_power_delivery --protocol-decoder-samplenum |
    awk '
        / usb_power_delivery-1: Preamble$/ { split($1, r, "-"); start = r[1]; sop = "" }
        / usb_power_delivery-1: SOP/ { sop = $3 }
        / usb_power_delivery-1: \(r[0-9]+\) / {
            text = $0; sub(/^[^(]*\(r[0-9]+\) /, "", text)
            role = text; sub(/\[.*/, "", role)
            id = text; sub(/^[^[]*\[/, "", id); sub(/\].*/, "", id)
            msg = text; sub(/^[^:]*: /, "", msg)
            printf "%s\t%s\t%s\t%s\t%s\n", start, sop, role, id, msg
        }' > "$here/$name.$probe.ref"
done
