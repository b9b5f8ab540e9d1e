#!/usr/bin/env bash
# The fleet example: the Ansible playbook examples/ansible/keylock.yml runs
# twice on localhost against an emulated speakerphone. The first run must
# report the policy task changed, the second ok (nothing written).
#   tools/test-ansible.sh [BUILD_DIR]     (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
emulator=$PWD/$build/hostapp/src/emulator/DeviceEmulator
devcmd=$PWD/$build/hostapp/src/win/DeviceCommand/DeviceCommand
for tool in "$emulator" "$devcmd"; do
  [ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 1; }
done
command -v ansible-playbook >/dev/null || { echo "ansible-playbook not found (apt-get install ansible-core)" >&2; exit 1; }

work=$(mktemp -d)
emulator_pid=
cleanup() {
  if [ -n "$emulator_pid" ]; then kill "$emulator_pid" 2>/dev/null || true; wait "$emulator_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private vhid directory: the emulator serves there, DeviceCommand looks there.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
export ANSIBLE_LOCAL_TEMP=$work/ansible-local ANSIBLE_REMOTE_TEMP=$work/ansible-remote
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_HOME=$work/ansible-home

"$emulator" --serve --lock-mask 007f --se 1 >"$work/emulator.out" 2>"$work/emulator.err" &
emulator_pid=$!
for _ in $(seq 100); do
  grep -q '\.sock' "$work/emulator.out" 2>/dev/null && break
  kill -0 "$emulator_pid" 2>/dev/null || { cat "$work/emulator.err" >&2; echo "emulator ended" >&2; exit 1; }
  sleep 0.1
done
grep -q '\.sock' "$work/emulator.out" || { echo "emulator not ready" >&2; exit 1; }

run_playbook() {
  ansible-playbook -i examples/ansible/inventory.ini examples/ansible/keylock.yml \
    -e "device_command=$devcmd" >"$work/play$1.out" 2>&1 || { cat "$work/play$1.out"; echo "playbook run $1 failed" >&2; exit 1; }
  grep -E '^localhost +:' "$work/play$1.out"
}

failed=0
recap=$(run_playbook 1)
echo "run 1: $recap"
[[ $recap =~ changed=1 ]] || { echo "FAIL: the first run should change the device"; cat "$work/play1.out"; failed=1; }
recap=$(run_playbook 2)
echo "run 2: $recap"
[[ $recap =~ changed=0 ]] && [[ $recap =~ failed=0 ]] || { echo "FAIL: the second run should be ok"; cat "$work/play2.out"; failed=1; }

# The policy is in force on the device.
shown=$("$devcmd" --json keylock show)
python3 -c 'import json,sys; d=json.load(sys.stdin); sys.exit(0 if d["locked"]==["Call","VolUp"] and d["se"] else 1)' <<<"$shown" \
  || { echo "FAIL: the device does not hold the policy: $shown"; failed=1; }

[ $failed -eq 0 ] && echo "ansible fleet example: changed, then ok"
exit $failed
