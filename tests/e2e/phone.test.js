'use strict';
// A phone with the application, the real server and a private JACK server: it pairs through the
// link the application gives out, plays, and plays again after "Restart Bridge" in the tray menu,
// still one phone. The phone is a WebSocket client here; tests/e2e/browser.test.js is a real browser.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./lib');
const { Phone } = require('../support/phone');

const JACK_PORT = 'Tovra Bridge:midi_out';
const READY_ONE = 'Ready \u00B7 1 phone\n';

test('a phone pairs through the copied link, plays byte for byte, and plays again after Restart Bridge, still one phone', async (t) => {
  const s = await h.session({ t });
  await s.desktop();
  const host = s.host('watcher');
  await host.event('ready');
  const jack = await s.jack();
  const app = s.start(jack.env);
  const server = await s.ready(app);
  await host.event('registered');

  const link = await s.run('--phone-link');
  assert.equal(link.code, 0);
  // The link names this computer's network address where it has one: reached over loopback here.
  const phone = new Phone(link.out.trim(), { via: '127.0.0.1' });
  assert.equal((await phone.pair()).status, 200);
  await h.waitFor('"Ready \u00B7 1 phone"', async () => (await s.run('--status')).out === READY_ONE);

  const recorder = await h.record(jack, JACK_PORT, h.BUILD);
  const socket = await phone.connect();
  const fader = [10, 50, 90].map((value) => ({ kind: 'controlChange', channel: 1, control: 7, value }));
  const pad = [{ kind: 'noteOn', channel: 1, note: 36, velocity: 112 }, { kind: 'noteOff', channel: 1, note: 36, velocity: 0 }];
  for (const message of [...fader, ...pad]) phone.play(message);
  assert.deepEqual(await recorder.wait(5), ['b0 07 0a', 'b0 07 32', 'b0 07 5a', '90 24 70', '80 24 00']);
  await recorder.stop();

  host.click('Restart Bridge');
  assert.equal((await socket.closed).code, 1006, 'the bridge went away');
  // Tried every 250 ms until the bridge takes the socket, as the controller page does.
  const again = await h.waitFor('the phone to connect again', () => phone.connect()
    .then((ws) => ws.readyState === ws.OPEN && ws, () => h.sleep(250).then(() => false)), 15000);
  const relaunched = await s.server(app);
  assert.notEqual(relaunched, server);
  await h.waitFor('the JACK output again', () => jack.ports()?.includes(JACK_PORT));
  const after = await h.record(jack, JACK_PORT, h.BUILD);
  phone.play({ kind: 'controlChange', channel: 1, control: 7, value: 100 });
  phone.play({ kind: 'noteOn', channel: 1, note: 37, velocity: 64 });
  phone.play({ kind: 'noteOff', channel: 1, note: 37, velocity: 0 });
  assert.deepEqual(await after.wait(3), ['b0 07 64', '90 25 40', '80 25 00']);
  await after.stop();
  await h.waitFor('"Ready \u00B7 1 phone" again', async () => (await s.run('--status')).out === READY_ONE);
  assert.equal(again.protocol, 'tovra');
  assert.equal(s.banners().length, 2, 'one relaunch');
  // Nothing secret reached the log or the application's output.
  for (const text of [s.log(), app.output]) {
    assert.ok(!text.includes(phone.secret), 'a secret in the log');
    assert.ok(!text.includes(new URL(link.out).searchParams.get('token')), 'the token in the log');
  }
});
