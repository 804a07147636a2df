'use strict';
// A network of a test's own: as root, the test file runs again in a new network namespace with a
// loopback and ADDRESSES on one interface (an empty bridge: the dummy driver is not in every
// kernel), so that the bridge has an address a phone would reach it by, and nothing reaches beyond.
// Elsewhere the file goes on where it is, and `reason` says why.
const { spawnSync } = require('node:child_process');

const ADDRESSES = ['10.77.0.1', '10.77.0.2'];
const SETUP = 'ip link set lo up && ip link add tovra0 type bridge && ip link set tovra0 up && ' +
  ADDRESSES.map((address) => `ip addr add ${address}/24 dev tovra0`).join(' && ');

// Call first thing in a test file: it does not return in the process that reruns the file.
function ownNetwork(file) {
  if (process.env.TOVRA_TEST_NETNS) return { inside: true, addresses: ADDRESSES };
  const probe = spawnSync('unshare', ['-n', 'sh', '-c', SETUP], { encoding: 'utf8' });
  if (probe.status !== 0) return { inside: false, reason: `no network namespace of its own (needs root): ${String(probe.stderr || probe.error).trim()}` };
  const args = ['-n', 'sh', '-c', `${SETUP} && exec "$0" "$@"`, process.execPath, ...process.execArgv, file];
  process.exit(spawnSync('unshare', args, { stdio: 'inherit', env: { ...process.env, TOVRA_TEST_NETNS: '1' } }).status ?? 1);
}

module.exports = { ownNetwork, ADDRESSES };
