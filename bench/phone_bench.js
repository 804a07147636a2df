'use strict';
// The phones' figures for bench/run, with the built server (node server.js, as the application runs
// it) on a private JACK server (dummy driver, 48 kHz, 64 frames, JACK's default asynchronous mode)
// and phones paired as the controller page pairs, each a WebSocket from bench/phone_sender.js:
//   (h) latency from a phone's message (sent by a loopback client) to the event seen by a JACK
//       client on the output;
//   (i) four phones at 500 messages a second each: nothing lost or reordered per phone, the
//       server's CPU and resident memory;
//   (j) the server idle with two phones connected and still.
// Alone: node bench/phone_bench.js [BUILD_DIR [MESSAGES [SECONDS]]] prints the three (in a network
// namespace of its own, as it listens on port 4173).
const path = require('node:path');
const { JackServer, record } = require('../tests/support/jack');
const { Phone } = require('../tests/support/phone');
const { started, threads, cpuOver, memory, PERIOD_MS } = require('./midi_bench');
const { sleep, waitFor } = require('./sandbox');

const JACK_PORT = 'Tovra Bridge:midi_out';
const SETTLE_MS = 30000; // as for (g): Node's own threads are busy for half a minute after a start

// The built server on `port`, with its JACK output open, and `phones` phones paired to it; or,
// with `reference`, bench/phone_reference.js on the same port and module, which takes any phone.
async function bridge({ appDir, jack, port, home, phones, reference = false }) {
  if (reference) {
    const server = await started(process.execPath, [path.join(__dirname, 'phone_reference.js'), appDir, String(port)], jack.env, 'ready');
    const link = new URL(`http://127.0.0.1:${port}/controller`);
    return { server, phones: Array.from({ length: phones }, (_, i) => ({ link, origin: link.origin, secret: `reference${i}` })) };
  }
  const env = { ...jack.env, PORT: String(port), TOVRA_DATA_DIR: path.join(home, `data-${Date.now()}`), TOVRA_BACKGROUND: '1' };
  const server = await started(process.execPath, [path.join(appDir, 'server.js')], env, '');
  await waitFor('the server to listen', () => /listening on/.test(server.out), 20000);
  if (!/MIDI output JACK open/.test(server.out)) throw new Error(`the server opened no JACK output:\n${server.out}`);
  const setup = await fetch(`http://127.0.0.1:${port}/api/setup`).then((answer) => answer.json());
  const paired = [];
  for (let i = 0; i < phones; i++) {
    const phone = new Phone(setup.phoneURL, { via: '127.0.0.1' });
    if ((await phone.pair()).status !== 200) throw new Error('a phone could not pair');
    paired.push(phone);
  }
  return { server, phones: paired };
}

// bench/phone_sender.js for `phones`, ready to send once told.
function sender(port, phones, count, intervalMs) {
  const [phone] = phones;
  return started(process.execPath, [path.join(__dirname, 'phone_sender.js'), `ws://127.0.0.1:${port}/socket`, phone.link.host,
    phone.origin, String(count), String(intervalMs), ...phones.map((p) => p.secret)], {}, 'ready');
}

async function stop(child) {
  child.kill('SIGTERM');
  await child.done;
}

// (h): { latencies (ms, in order of sending), lost, xruns, and passed: how many the server handed to
// its MIDI output (the floor counts nothing) }.
async function latency({ appDir, buildDir, home, port, count, rate, say, reference = false }) {
  const jack = await new JackServer({ synchronous: false }).start();
  try {
    say(`(h) phone to MIDI${reference ? ', the floor' : ''}: ${count} messages at ${rate} per second`);
    const { server, phones } = await bridge({ appDir, jack, port, home, phones: 1, reference });
    await sleep(SETTLE_MS); // a phone plays on a bridge that has been running a while
    const phone = await sender(port, phones, count, 1000 / rate);
    const recorder = await record(jack, JACK_PORT, buildDir);
    phone.stdin.write('go\n');
    await phone.done;
    if (phone.exitCode !== 0) throw new Error(`the phone failed: ${phone.err}`);
    await waitFor('the last messages', () => recorder.messages().length >= count, 5000).catch(() => {});
    const sent = phone.out.trim().split('\n').map(Number);
    const seen = new Map();
    for (const { bytes, time } of recorder.arrivals()) {
      const [, control, value] = bytes.split(' ').map((b) => parseInt(b, 16));
      seen.set((control << 7) | value, time);
    }
    await recorder.stop();
    const counts = reference ? null : await fetch(`http://127.0.0.1:${port}/api/phones`).then((answer) => answer.json());
    await stop(server);
    const latencies = sent.map((at, n) => (seen.has(n) ? (seen.get(n) - at) / 1000 : null)).filter((ms) => ms !== null);
    return { latencies, lost: count - latencies.length, xruns: (jack.output.match(/XRun/g) || []).length,
      passed: counts?.sockets.sent };
  } finally {
    await jack.release();
  }
}

// Per phone (channel): how many of the `count` numbered messages arrived, how many were lost, and
// how many arrived out of their turn: after a message numbered later (numbers run modulo 2^14, so
// each is taken as the one nearest after the one before it).
function perPhone(messages, phones, count) {
  const byChannel = Array.from({ length: phones }, () => []);
  for (const bytes of messages) {
    const [status, control, value] = bytes.split(' ').map((b) => parseInt(b, 16));
    byChannel[status & 0x0F]?.push((control << 7) | value);
  }
  return byChannel.map((numbers) => {
    let last = -1;
    let outOfTurn = 0;
    for (const number of numbers) {
      let n = last - (((last % 16384) + 16384) % 16384) + number;
      if (n <= last - 8192) n += 16384;
      if (n > last + 8192) n -= 16384;
      if (n <= last) outOfTurn++;
      else last = n;
    }
    return { arrived: numbers.length, lost: count - numbers.length, outOfTurn };
  });
}

// (i): four phones at `rate` a second each for `seconds`.
async function fourPhones({ appDir, buildDir, home, port, seconds, rate, say, reference = false }) {
  const jack = await new JackServer({ synchronous: false }).start();
  try {
    say(`(i) four phones at ${rate} messages a second each for ${seconds} s${reference ? ', the floor' : ''}`);
    const { server, phones } = await bridge({ appDir, jack, port, home, phones: 4, reference });
    await sleep(SETTLE_MS);
    const count = seconds * rate;
    const phone = await sender(port, phones, count, 1000 / rate);
    const recorder = await record(jack, JACK_PORT, buildDir);
    const before = { threads: threads(server.pid), at: Date.now() };
    phone.stdin.write('go\n');
    await phone.done;
    if (phone.exitCode !== 0) throw new Error(`the phones failed: ${phone.err}`);
    const after = { threads: threads(server.pid), at: Date.now() };
    const rss = memory(server.pid);
    await waitFor('the last messages', () => recorder.messages().length >= 4 * count, 5000).catch(() => {});
    const phonesSeen = perPhone(recorder.messages(), 4, count);
    await recorder.stop();
    const counts = reference ? null : await fetch(`http://127.0.0.1:${port}/api/phones`).then((answer) => answer.json());
    await stop(server);
    const window = (after.at - before.at) / 1000;
    return {
      window, rss, phones: phonesSeen, dropped: counts?.sockets.dropped, passed: counts?.sockets.sent,
      server: cpuOver(before.threads, after.threads, window),
      serverOther: cpuOver(before.threads, after.threads, window, (t) => !t.realTime),
      xruns: (jack.output.match(/XRun/g) || []).length,
    };
  } finally {
    await jack.release();
  }
}

// (j): two phones connected and still for `seconds`, after the server has settled.
async function idle({ appDir, home, port, seconds, say }) {
  const jack = await new JackServer({ synchronous: false }).start();
  try {
    say(`(j) the server idle with two phones connected, ${seconds} s`);
    const { server, phones } = await bridge({ appDir, jack, port, home, phones: 2 });
    const still = await sender(port, phones, 0, 1000);
    await sleep(SETTLE_MS);
    const [before, at] = [threads(server.pid), Date.now()];
    await sleep(seconds * 1000);
    const window = (Date.now() - at) / 1000;
    const after = threads(server.pid);
    const connected = await fetch(`http://127.0.0.1:${port}/api/phones`).then((answer) => answer.json());
    const rss = memory(server.pid);
    await stop(still);
    await stop(server);
    return {
      window, rss, connected: connected.phones.filter((p) => p.connected > 0).length,
      server: cpuOver(before, after, window),
      serverOther: cpuOver(before, after, window, (t) => !t.realTime),
      realTime: [...after.values()].some((t) => t.realTime),
    };
  } finally {
    await jack.release();
  }
}

module.exports = { latency, fourPhones, idle, PERIOD_MS };

if (require.main === module) {
  const fs = require('node:fs');
  const os = require('node:os');
  const build = path.resolve(process.argv[2] ?? 'build-bench');
  const [messages, seconds] = [Number(process.argv[3] ?? 10000), Number(process.argv[4] ?? 60)];
  const args = { appDir: path.join(build, 'share/tovra-bridge/app'), buildDir: build, port: 4173,
    home: fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-phone-bench-')), say: (text) => console.error(`bench: ${text}`) };
  (async () => {
    const h = await latency({ ...args, count: messages, rate: 200 });
    const sorted = [...h.latencies].sort((a, b) => a - b);
    const rank = (p) => sorted[Math.max(0, Math.ceil(p * sorted.length) - 1)];
    console.log(`(h) n ${sorted.length}, lost ${h.lost}, p50 ${rank(0.5).toFixed(2)} ms, p99 ${rank(0.99).toFixed(2)} ms, max ${sorted.at(-1).toFixed(2)} ms, xruns ${h.xruns}, handed to the output ${h.passed}`);
    console.log('(i)', JSON.stringify(await fourPhones({ ...args, seconds, rate: 500 })));
    console.log('(j)', JSON.stringify(await idle({ ...args, seconds })));
  })().catch((error) => { console.error(error.stack); process.exit(1); });
}
