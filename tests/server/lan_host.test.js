'use strict';
// The address the private link names: one of the phone's network, so a private address of a real
// interface before any other, never a link-local one, and loopback only when there is nothing else.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lanHost } = require('../../resources/app/pairing');

const v4 = (address, internal = false) => ({ family: 'IPv4', address, internal });

test('the link names a private address of a real interface first, never a link-local one', () => {
  for (const [interfaces, expected] of [
    [{ lo: [v4('127.0.0.1', true)], eth0: [v4('169.254.3.4')] }, '127.0.0.1'],
    [{ docker0: [v4('172.17.0.1')], wlan0: [v4('192.168.1.20')] }, '192.168.1.20'],
    [{ eth0: [v4('203.0.113.5')], br0: [v4('172.31.0.9')] }, '172.31.0.9'],
    [{ eth0: [v4('203.0.113.5')], wlan0: [{ family: 'IPv6', address: 'fe80::1', internal: false }] }, '203.0.113.5'],
    [{ eth0: [v4('172.32.0.1')], docker0: [v4('172.17.0.1')] }, '172.17.0.1'],
  ]) {
    assert.equal(lanHost(interfaces), expected, JSON.stringify(interfaces));
  }
});
