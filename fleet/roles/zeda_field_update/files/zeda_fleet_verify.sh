#!/bin/bash
# Checks on the controller that a gateware image carries an OpenSSH signature
# (ssh-keygen -Y sign -n zeda-gateware) by a key of an allowed_signers file.
# The bytes checked are the run's own copy of the image, <copy>, which is
# what every PC gets; <image> names it in the messages.
# Usage: bash -c "$(cat zeda_fleet_verify.sh)" zeda-fleet-verify <image> <copy> <signature> <allowed signers>
# Status 0: ssh-keygen's "Good ... signature for <signer> with <key>" line on
# standard output. Status 1: one line on standard error saying what is wrong,
# naming the file.
image=$1 copy=$2 sig=$3 allowed=$4
namespace=zeda-gateware
refuse() { echo "$*" >&2; exit 1; }

command -v ssh-keygen >/dev/null || refuse "ssh-keygen is not installed on the controller (Debian: openssh-client)"
if [ ! -f "$allowed" ] || [ ! -r "$allowed" ]; then refuse "the allowed signers file $allowed cannot be read"; fi
[ -e "$sig" ] || refuse "the signature $sig is missing: sign the image with ssh-keygen -Y sign -n $namespace -f <key> $image, or name its signature in zeda_field_update_image_signature"
if [ ! -f "$sig" ] || [ ! -r "$sig" ]; then refuse "the signature $sig cannot be read"; fi

[ -r "$copy" ] || refuse "the run's copy of $image, $copy, cannot be read"

said=$(ssh-keygen -Y check-novalidate -n "$namespace" -s "$sig" < "$copy" 2>&1) || case $said in
  *"namespace does not match"*) refuse "the signature $sig was made for another use than gateware images (not with ssh-keygen -Y sign -n $namespace)" ;;
  *"incorrect signature"*) refuse "the signature $sig does not match $image: it signs other bytes (another image, or one changed after it was signed)" ;;
  *) refuse "the signature $sig is not an OpenSSH signature: $(echo "$said" | head -n 1)" ;;
esac
key=${said##* with }
principals=$(ssh-keygen -Y find-principals -s "$sig" -f "$allowed" 2>/dev/null) \
  || refuse "the signature $sig was made by a key that $allowed does not allow ($key)"
while IFS= read -r principal; do
  ssh-keygen -Y verify -f "$allowed" -I "$principal" -n "$namespace" -s "$sig" < "$copy" 2>/dev/null && exit 0
done <<< "$principals"
refuse "the signature $sig was made by a key that $allowed does not allow for $namespace ($key)"
