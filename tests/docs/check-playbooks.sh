#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# check-playbooks.sh DOCS SCRATCH: ansible-playbook --syntax-check on every
# playbook under DOCS, with an inventory given inline and Ansible's own files
# in SCRATCH, away from the user's home; nothing is contacted.
set -eu
docs=$1
export ANSIBLE_HOME="$2/ansible" ANSIBLE_LOCAL_TEMP="$2/ansible/tmp"
mkdir -p "$ANSIBLE_LOCAL_TEMP"
cd "$2"
count=0
for playbook in $(find "$docs" -name '*.yml' | sort); do
    ansible-playbook --syntax-check -i 'localhost,' "$playbook"
    count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "no playbook under $docs" >&2; exit 1; }
