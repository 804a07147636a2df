'use strict';
// The bridge's MIDI output with the application supervising the real server: against a private
// JACK server that is killed and started again. (Without any MIDI at all: the server's own tests.)
const { test } = require('node:test');
const assert = require('node:assert/strict');
const http = require('node:http');
const h = require('./lib');

const JACK_PORT = 'Tovra Bridge:midi_out';
const READY = 'Ready \u00B7 0 phones\n';
const UNAVAILABLE = 'MIDI unavailable \u00B7 restart\n';

// Through the server's own send path: what the setup page's test note uses.
const send = (messages) => new Promise((resolve, reject) => {
  const body = JSON.stringify({ messages });
  http.request({ host: '127.0.0.1', port: h.PORT, path: '/api/midi', method: 'POST', headers: { 'Content-Type': 'application/json' } },
    (res) => { let data = ''; res.setEncoding('utf8').on('data', (d) => { data += d; }).on('end', () => resolve(JSON.parse(data))); })
    .on('error', reject).end(body);
});
const health = async () => JSON.parse((await h.get('/health')).body);

test('a JACK output that music programs see, byte for byte; the tray follows the JACK server away and back, one bridge throughout', async (t) => {
  const s = await h.session({ t });
  const jack = await s.jack();
  const app = s.start(jack.env);
  const server = await s.ready(app);
  await h.waitFor('the status line', async () => (await s.run('--status')).out === READY);
  assert.match(jack.ports('-t'), /^Tovra Bridge:midi_out\n\t8 bit raw midi$/m);
  assert.match(jack.ports('-p'), /^Tovra Bridge:midi_out\n\tproperties: output,$/m);
  assert.deepEqual([(await health()).midiReady, (await health()).midiPort], [true, JACK_PORT]);

  const recorder = await h.record(jack, JACK_PORT, h.BUILD);
  assert.deepEqual(await send([{ kind: 'noteOn', channel: 1, note: 60, velocity: 100 },
    { kind: 'controlChange', channel: 2, control: 74, value: 33 }, { kind: 'pitchBend', channel: 3, value: 12000 }]), { sent: 3, dropped: 0 });
  const burst = Array.from({ length: 1000 }, (_, i) => ({ kind: 'controlChange', channel: 1, control: i >> 7, value: i & 127 }));
  assert.deepEqual(await send(burst), { sent: 1000, dropped: 0 });
  const expected = ['90 3c 64', 'b1 4a 21', 'e2 60 5d',
    ...burst.map((m) => `b0 ${m.control.toString(16).padStart(2, '0')} ${m.value.toString(16).padStart(2, '0')}`)];
  assert.deepEqual(await recorder.wait(1003), expected);
  await recorder.stop();

  await jack.stop('SIGKILL');
  const killed = Date.now();
  await h.waitFor('"MIDI unavailable"', async () => (await s.run('--status')).out === UNAVAILABLE, 2000);
  const gone = Date.now() - killed;
  await jack.start();
  const started = Date.now();
  await h.waitFor('"Ready" again', async () => (await s.run('--status')).out === READY, 3000);
  const back = Date.now() - started;
  assert.deepEqual([s.servers(app), s.banners().length], [[server], 1], 'the same bridge throughout');
  assert.equal((await health()).midiPort, JACK_PORT);
  t.diagnostic(`"MIDI unavailable" ${gone} ms after the kill; "Ready" ${back} ms after the start`);
});
