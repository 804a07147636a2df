'use strict';
// The server's MIDI output for real: the module against a private JACK server, the send path's
// checks, /health following the JACK server's comings and goings, and the server's life without
// MIDI, without its module and without JACK's library. (What reaches a JACK client through the
// send path, byte for byte: tests/e2e/midi.test.js.)
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { JackServer, record, waitFor } = require('../support/jack');
const { BUILD, APP_DIR, startServer, freePort, request, jsonOf, postMidi, tempDir } = require('./start');

const MODULE = path.join(BUILD, 'lib/tovra-bridge/tovra_midi.node');
const JACK_PORT = 'Tovra Bridge:midi_out';
const health = (port) => jsonOf(port, '/health');
const hex = (bytes) => bytes.map((b) => b.toString(16).padStart(2, '0')).join(' ');
const jackOpen = (state) => state.some((o) => o.system === 'JACK' && o.open);

describe('the module, loaded as the server loads it', () => {
  const jack = new JackServer();
  const saved = process.env.JACK_DEFAULT_SERVER;
  let midi;
  before(async () => {
    await jack.start();
    process.env.JACK_DEFAULT_SERVER = jack.name; // the module reads it when it opens
    midi = require(MODULE);
  });
  // Whatever a test did and however it ended, the next finds the module closed and JACK going.
  afterEach(async () => {
    midi.close();
    await jack.stop('SIGCONT');
  });
  after(async () => {
    process.env.JACK_DEFAULT_SERVER = saved;
    await jack.release();
  });

  // Opens the outputs and waits until JACK's is open.
  const openJack = () => new Promise((resolve) => midi.open('Tovra Bridge', (state) => { if (jackOpen(state)) resolve(state); }));

  test('only whole channel messages of bytes 0-255 pass; nothing is sent before open or after close; the port comes and goes with them', async () => {
    assert.throws(() => midi.send(0x90, 60, 100), { message: 'the MIDI outputs are not open' });
    const opened = openJack();
    assert.throws(() => midi.open('Tovra Bridge', () => {}), { message: 'the MIDI outputs are open already' });
    assert.deepEqual((await opened).map((o) => [o.system, o.open, o.port]), [['ALSA', false, ''], ['JACK', true, JACK_PORT]]);
    assert.match(jack.ports(), /^Tovra Bridge:midi_out$/m);
    for (const [args, error] of [[[0xF0, 1, 2], /status byte 240 does not start a channel message/], [[0x90, 60], /has 3 bytes, not 2/],
      [[], /an empty message/], [[0x90, 1, 2, 3], /at most 3 bytes/], [[256, 1, 2], /integers from 0 to 255/],
      [[0x90, 1.5, 2], /integers from 0 to 255/], [['0x90', 1, 2], /integers from 0 to 255/]]) {
      assert.throws(() => midi.send(...args), error, JSON.stringify(args));
    }
    const recorder = await record(jack, JACK_PORT, BUILD);
    assert.equal(midi.send(0xB0, 7, 100), true);
    assert.deepEqual(await recorder.wait(1), ['b0 07 64'], 'only the valid one arrived');
    await recorder.stop();
    assert.equal(midi.close(), true);
    assert.throws(() => midi.send(0x90, 60, 100), { message: 'the MIDI outputs are not open' });
    assert.deepEqual(midi.state(), []);
    assert.doesNotMatch(jack.ports(), /Tovra Bridge/);
    await openJack();
    assert.match(jack.ports(), /^Tovra Bridge:midi_out$/m, 'open again');
  });

  test('a JACK server that stands still fills the ring: the newest messages are dropped and counted, the rest arrive', async () => {
    await openJack();
    const recorder = await record(jack, JACK_PORT, BUILD);
    await jack.stop('SIGSTOP');
    // A cycle under way as the server stopped may still take what a cycle's MIDI buffer holds
    // (32 KiB, some 2,700 of these); then 16,383 fit.
    const taken = [];
    let refused = 0;
    for (let n = 0; n < 16383 + 3000; n++) {
      const bytes = [0xB0, n >> 7 & 127, n & 127];
      if (midi.send(...bytes)) taken.push(hex(bytes)); else refused++;
    }
    assert.ok(taken.length >= 16383 && refused > 0, `${taken.length} taken, ${refused} refused`);
    assert.deepEqual(midi.state().map((o) => [o.system, o.dropped]), [['ALSA', 0], ['JACK', refused]]);
    await jack.stop('SIGCONT');
    assert.deepEqual(await recorder.wait(taken.length), taken, 'what was taken arrives, and nothing refused');
    await recorder.stop();
  });

  test('a process that only opened the outputs ends by itself once nothing else holds it, closing them on its way', { timeout: 20000 }, async () => {
    const child = spawn(process.execPath, ['-e', `process.stdin.resume(); // held until the test has seen the port
      require(${JSON.stringify(MODULE)}).open('Tovra Bridge', (state) => {
        if (state.some((o) => o.system === 'JACK' && o.open)) console.log('open'); });`],
    { env: { ...process.env, ...jack.env } });
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve([code, signal])));
    let out = '';
    for (const stream of [child.stdout, child.stderr]) stream.setEncoding('utf8').on('data', (d) => { out += d; });
    await waitFor('the child\'s JACK output', () => {
      if (child.exitCode !== null) throw new Error(`the child ended first:\n${out}`);
      return out.startsWith('open\n');
    });
    assert.match(jack.ports(), /^Tovra Bridge:midi_out$/m);
    child.stdin.end();
    assert.deepEqual(await exited, [0, null]);
    assert.doesNotMatch(jack.ports(), /Tovra Bridge/);
  });
});

describe('the server with a private JACK server', () => {
  const jack = new JackServer();
  let tmp, port, server;
  before(async () => {
    tmp = tempDir();
    port = await freePort();
    await jack.start();
    server = await startServer(port, path.join(tmp, 'data'), jack.env).ready;
  });
  after(async () => { server?.kill('SIGKILL'); await jack.release(); fs.rmSync(tmp, { recursive: true, force: true }); });

  test('the send path takes only checked lists of messages, from this computer\'s own pages or programs', async () => {
    const recorder = await record(jack, JACK_PORT, BUILD);
    const note = { kind: 'noteOn', channel: 1, note: 1, velocity: 1 };
    const refused = [
      [[note, { ...note, velocity: 128 }], {}, 400, 'message 2: noteOn: velocity is an integer from 0 to 127'],
      [[], {}, 400, '"messages" is a list of 1 to 1024 messages'],
      [Array(1025).fill(note), {}, 400, '"messages" is a list of 1 to 1024 messages'],
      ['{"messages":', {}, 400, 'invalid JSON'],
      [[note], { headers: { 'Content-Type': 'text/plain' } }, 415, 'the body must be application/json'],
      [[note], { headers: { Origin: 'http://evil.example' } }, 403, 'forbidden'],
      [[note], { headers: { Host: 'evil.example' } }, 403, 'forbidden'],
      [[note], { method: 'GET' }, 405, 'method not allowed'],
    ];
    for (const [messages, options, status, error] of refused) {
      const answer = await postMidi(port, messages, options);
      assert.deepEqual([answer.status, JSON.parse(answer.body).error], [status, error], JSON.stringify(options));
    }
    const own = await postMidi(port, [{ ...note, note: 2 }], { headers: { Origin: `http://localhost:${port}` } });
    assert.equal(own.status, 200);
    assert.deepEqual(await recorder.wait(1), ['90 02 01'], 'only what was let in arrived');
    await recorder.stop();
  });

  // Its coming back, one bridge throughout: tests/e2e/midi.test.js.
  test('/health follows the JACK server away and the log says so once; SIGTERM ends it with 0 while JACK is gone, and while it stands still', async () => {
    await jack.stop('SIGKILL');
    await waitFor('midiReady false', async () => !(await health(port)).midiReady, 1000);
    assert.deepEqual(await health(port), { ...(await health(port)), midiReady: false, midiPort: '' });
    const answer = await postMidi(port, [{ kind: 'programChange', channel: 1, program: 1 }]);
    assert.deepEqual([answer.status, JSON.parse(answer.body).error], [503, 'no MIDI output is open']);
    server.kill('SIGTERM');
    assert.deepEqual(await server.exited, { code: 0, signal: null });
    assert.deepEqual(server.output.split('\n').filter((line) => line.includes('MIDI output JACK')).map((line) => line.replace(/^\S+ /, '')
      .replace(/went away: .*/, 'went away: …')), [`MIDI output JACK open: "${JACK_PORT}"`, 'MIDI output JACK unavailable: the JACK server went away: …']);
    await jack.start();
    server = await startServer(port, path.join(tmp, 'data'), jack.env).ready;
    assert.equal((await health(port)).midiReady, true);
    await jack.stop('SIGSTOP');
    const begun = Date.now();
    server.kill('SIGTERM');
    assert.deepEqual(await server.exited, { code: 0, signal: null });
    assert.match(server.output, /MIDI output: a MIDI system did not answer while closing; left to the exit/);
    await jack.stop('SIGCONT');
    assert.ok(Date.now() - begun < 1500, `it took ${Date.now() - begun} ms`);
    server = null;
  });
});

describe('the server without MIDI', () => {
  let tmp, port;
  before(async () => { tmp = tempDir(); port = await freePort(); });
  after(() => fs.rmSync(tmp, { recursive: true, force: true }));

  // Serves every endpoint, reports no MIDI and says why, each reason once.
  async function withoutMidi(reasons, env = {}, appDir = APP_DIR, runtime = undefined) {
    const server = await startServer(port, path.join(tmp, 'data'), env, appDir, runtime).ready;
    try {
      assert.deepEqual([(await health(port)).midiReady, (await health(port)).midiPort], [false, '']);
      for (const p of ['/health', '/api/setup', '/setup']) assert.equal((await request(port, p)).status, 200, p);
      assert.deepEqual(server.output.split('\n').filter((line) => /MIDI/.test(line)).map((line) => line.replace(/^\S+ /, '')),
        reasons);
    } finally {
      server.kill('SIGTERM');
      assert.deepEqual(await server.exited, { code: 0, signal: null });
    }
  }

  test('no sequencer device, no JACK server: one line for each', { skip: fs.existsSync('/dev/snd/seq') && 'this machine has /dev/snd/seq' },
    () => withoutMidi(['MIDI output ALSA unavailable: opening the sequencer (/dev/snd/seq) failed: No such file or directory',
      `MIDI output JACK unavailable: no JACK server named "tovra-test-none-${process.pid}" is running`]));

  test('no module (not built): one line, every endpoint served', () => {
    const app = path.join(tmp, 'app');
    fs.cpSync(APP_DIR, app, { recursive: true });
    fs.writeFileSync(path.join(app, 'build.json'), JSON.stringify({ version: '1.2.3', midiModule: 'missing/tovra_midi.node' }));
    return withoutMidi([`MIDI output unavailable: the MIDI module cannot be loaded (Cannot find module '${app}/missing/tovra_midi.node')`],
      {}, app);
  });

  // JACK's library hidden by an empty file mounted over it, in a mount namespace of the test's own.
  const linked = spawnSync('sh', ['-c', 'ldconfig -p | sed -n "s/.*libjack.so.0 .*=> //p" | head -n1'],
    { encoding: 'utf8' }).stdout.trim();
  const libjack = linked && fs.realpathSync(linked);
  const canHide = libjack && spawnSync('unshare', ['-m', 'true']).status === 0;
  test('no JACK library: one line naming it, and ALSA still tried', { skip: !canHide && 'cannot hide JACK\'s library (needs root)' }, async () => {
    const runtime = path.join(tmp, 'node-without-jack');
    fs.writeFileSync(runtime, `#!/bin/sh\nmount --bind /dev/null '${libjack}' && exec '${process.execPath}' "$@"\n`, { mode: 0o755 });
    await withoutMidi(['MIDI output ALSA unavailable: opening the sequencer (/dev/snd/seq) failed: No such file or directory',
      `MIDI output JACK unavailable: JACK's library cannot be loaded: ${linked}: file too short`], {}, APP_DIR,
    ['unshare', '-m', runtime]);
  });
});
