'use strict';
// The MIDI output's figures for bench/run, on a private JACK server (dummy driver, 48 kHz, 64
// frames, JACK's default asynchronous mode):
//   (f) latency from the server's send call to the event seen by a JACK client on the port, beside
//       a minimal C client writing the same messages through its own JACK ring buffer (the floor);
//   (g) the server idle with its output open: CPU beyond JACK's own wake-ups (its process thread,
//       which the client runs every period), and resident memory beside the stand-in's.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { JackServer, record } = require('../tests/support/jack');
const { sleep, readOr, waitFor } = require('./sandbox');

const PERIOD_MS = 64 / 48;
// Node's own threads are busy for half a minute after a start (compiling, collecting); the idle
// window begins after it.
const SETTLE_MS = 30000;

// Resident memory in KiB from /proc/<pid>/status: all, and the part that is shared memory (JACK's
// segments, mapped by every JACK client).
const memory = (pid) => {
  const status = readOr(`/proc/${pid}/status`, '');
  const field = (name) => Number(new RegExp(`^${name}:\\s+(\\d+)`, 'm').exec(status)?.[1] ?? NaN);
  return { rss: field('VmRSS'), shared: field('RssShmem') };
};

// A child whose standard error says `word` when it is ready; its output is kept.
async function started(file, args, env, word) {
  const child = spawn(file, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
  child.out = '';
  child.err = '';
  child.stdout.setEncoding('utf8').on('data', (d) => { child.out += d; });
  child.stderr.setEncoding('utf8').on('data', (d) => { child.err += d; });
  child.done = new Promise((resolve) => child.once('exit', resolve));
  await waitFor(`${path.basename(file)} to be ready`, () => {
    if (child.exitCode !== null) throw new Error(`${file} ended: ${child.err}`);
    return child.err.includes(word);
  }, 20000);
  return child;
}

// Sends `count` messages through `sender` (which prints its send times) to a recorder on `port`:
// { latencies (ms, in order of sending), lost }.
async function measure(jack, sender, port, count, buildDir) {
  const recorder = await record(jack, port, buildDir);
  sender.stdin.write('go\n');
  await sender.done;
  if (sender.exitCode !== 0) throw new Error(`${port}'s sender failed: ${sender.err}`);
  await sleep(200);
  const sent = sender.out.trim().split('\n').map(Number);
  const seen = new Map();
  for (const { bytes, time } of recorder.arrivals()) {
    const [, control, value] = bytes.split(' ').map((b) => parseInt(b, 16));
    seen.set((control << 7) | value, time);
  }
  await recorder.stop();
  const latencies = sent.map((at, n) => seen.has(n) ? (seen.get(n) - at) / 1000 : null).filter((ms) => ms !== null);
  return { latencies, lost: count - latencies.length };
}

async function latency({ bin, appDir, buildDir, count, rate, say }) {
  const jack = await new JackServer({ synchronous: false }).start();
  try {
    say(`(f) MIDI latency: the floor, ${count} messages at ${rate} per second`);
    const reference = await started(path.join(bin, 'jack_ring_reference'), [String(count), String(1e6 / rate)], jack.env, 'ready');
    const floor = await measure(jack, reference, 'reference:out', count, buildDir);
    say(`(f) MIDI latency: the server's send path, ${count} messages at ${rate} per second`);
    const sender = await started(process.execPath, [path.join(__dirname, 'midi_sender.js'), appDir, String(count), String(1000 / rate)],
      jack.env, 'ready');
    const server = await measure(jack, sender, 'Tovra Bridge:midi_out', count, buildDir);
    return { floor, server, xruns: (jack.output.match(/XRun/g) || []).length };
  } finally {
    await jack.release();
  }
}

// Per thread: CPU time in ns (schedstat) and whether it runs with a real-time policy (JACK's
// process thread does where the system allows it).
function threads(pid) {
  const result = new Map();
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    const stat = readOr(`/proc/${pid}/task/${tid}/stat`, '');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    const ns = Number(readOr(`/proc/${pid}/task/${tid}/schedstat`, '').split(' ')[0]);
    if (!Number.isNaN(ns)) result.set(tid, { ns, realTime: Number(fields[38]) !== 0, name: readOr(`/proc/${pid}/task/${tid}/comm`, '').trim() });
  }
  return result;
}

function cpuOver(before, after, seconds, filter = () => true) {
  let ns = 0;
  for (const [tid, t] of after) if (filter(t)) ns += t.ns - (before.get(tid)?.ns ?? 0);
  return (100 * ns) / 1e9 / seconds;
}

async function idle({ bin, appDir, standin, seconds, port, home, say }) {
  const jack = await new JackServer({ synchronous: false }).start();
  const env = { ...jack.env, PORT: String(port), TOVRA_DATA_DIR: path.join(home, 'data'), TOVRA_BACKGROUND: '1' };
  try {
    say(`(g) the server idle with its MIDI output open, ${seconds} s`);
    const server = await started(process.execPath, [path.join(appDir, 'server.js')], env, '');
    await waitFor('the server to listen', () => /listening on/.test(server.out), 20000);
    const reference = await started(path.join(bin, 'jack_ring_reference'), ['0', '5000'], jack.env, 'ready');
    await sleep(5000);
    const rss = memory(server.pid);
    await sleep(SETTLE_MS - 5000);
    const [serverBefore, referenceBefore, at] = [threads(server.pid), threads(reference.pid), Date.now()];
    await sleep(seconds * 1000);
    const window = (Date.now() - at) / 1000;
    const [serverAfter, referenceAfter] = [threads(server.pid), threads(reference.pid)];
    if (!/MIDI output JACK open/.test(server.out)) throw new Error(`the server opened no JACK output:\n${server.out}`);
    server.kill('SIGTERM');
    reference.kill('SIGTERM');
    await Promise.all([server.done, reference.done]);

    say('(g) the stand-in idle, for its memory');
    const old = await started(process.execPath, [standin], env, '');
    await waitFor('the stand-in to listen', () => /listening on/.test(old.out), 20000);
    await sleep(5000);
    const standinRss = memory(old.pid);
    old.kill('SIGTERM');
    await old.done;
    return {
      window, rss, standinRss,
      server: cpuOver(serverBefore, serverAfter, window),
      serverJackThread: cpuOver(serverBefore, serverAfter, window, (t) => t.realTime),
      serverOther: cpuOver(serverBefore, serverAfter, window, (t) => !t.realTime),
      // The module's thread names the threads JACK's library starts from it: its process thread
      // and its notification thread.
      midiThreads: cpuOver(serverBefore, serverAfter, window, (t) => t.name === 'tovra-midi' && !t.realTime),
      reference: cpuOver(referenceBefore, referenceAfter, window),
      realTime: [...serverAfter.values()].some((t) => t.realTime),
    };
  } finally {
    await jack.release();
  }
}

module.exports = { latency, idle, PERIOD_MS, started, threads, cpuOver, memory };
