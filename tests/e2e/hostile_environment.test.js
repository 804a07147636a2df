'use strict';
// What the environment hands the program, written wrongly: it starts its bridge all the same.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./lib');

// Every malformed form of an address: the parser's own tests and its fuzz target.
test('a session bus address escaped wrongly: the bridge starts, and SIGTERM ends it with 0', async (t) => {
  const s = await h.session({ t });
  const app = s.start({ DBUS_SESSION_BUS_ADDRESS: 'unix:path=/x%zz' });
  const server = await s.ready(app);
  process.kill(app.pid, 'SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null }, app.output);
  await h.waitFor('the server to end', () => !h.alive(server));
});
