'use strict';
// For the server's and the end-to-end tests: a private JACK server (Debian's jackd with the dummy
// driver, 48 kHz, 64 frames, under a name of its own) and a JACK client that records the MIDI
// reaching it (the build's tovra_midi_recorder). The server runs synchronously (-S): on a busy
// machine a client that is late makes the cycle wait, where JACK would otherwise let the cycle's
// MIDI go between two clients.
const { spawn, spawnSync } = require('node:child_process');
const path = require('node:path');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function waitFor(what, check, timeout = 10000) {
  let value;
  for (const end = Date.now() + timeout; !(value = await check()); await sleep(20)) {
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
  return value;
}

let count = 0;

// A server named `tovra-test-<pid>-<n>`; start() resolves once it takes clients. JACK keeps a
// registry of at most eight servers; a server that is killed keeps its entry until a server of the
// same name starts, so release() starts a killed one again before it stops it for good.
class JackServer {
  // `synchronous: false` runs it as JACK runs by default, for figures as users see them.
  constructor({ synchronous = true } = {}) {
    this.synchronous = synchronous;
    this.name = `tovra-test-${process.pid}-${++count}`;
    this.env = { JACK_DEFAULT_SERVER: this.name };
    this.child = null;
    this.killed = false;
  }

  // `jack_lsp` against it: its ports (with -t, their types), or null when it does not answer.
  ports(...options) {
    const lsp = spawnSync('jack_lsp', options, { env: { ...process.env, ...this.env }, encoding: 'utf8', timeout: 5000 });
    return lsp.status === 0 ? lsp.stdout : null;
  }

  async start() {
    const mode = this.synchronous ? ['-S'] : [];
    this.child = spawn('jackd', [...mode, '-n', this.name, '-d', 'dummy', '-r', '48000', '-p', '64'], { stdio: ['ignore', 'pipe', 'pipe'] });
    this.output = '';
    for (const stream of [this.child.stdout, this.child.stderr]) stream.setEncoding('utf8').on('data', (d) => { this.output += d; });
    this.exited = new Promise((resolve) => this.child.once('exit', resolve));
    this.killed = false;
    await waitFor(`JACK server ${this.name}`, () => {
      if (this.child.exitCode !== null) throw new Error(`jackd ${this.name} ended:\n${this.output}`);
      return this.ports() !== null;
    });
    return this;
  }

  // Sends `signal`; for one that ends it, resolves once it has ended (and been reaped).
  async stop(signal = 'SIGTERM') {
    if (!this.child || this.child.exitCode !== null || this.child.signalCode !== null) return;
    this.child.kill(signal);
    if (signal === 'SIGSTOP' || signal === 'SIGCONT') return;
    this.child.kill('SIGCONT'); // a stopped server takes its signal only once it goes on
    await this.exited;
    this.killed = signal === 'SIGKILL';
  }

  // Stops it, leaving nothing in JACK's registry.
  async release() {
    if (this.killed) await this.start();
    await this.stop('SIGTERM');
  }
}

// Records what reaches `port` of `server`: messages() is every message so far as hex strings
// ("90 3c 64"); arrivals() adds the JACK time of each, in microseconds.
async function record(server, port, buildDir) {
  const child = spawn(path.join(buildDir, 'tests/tovra_midi_recorder'), [port],
    { env: { ...process.env, ...server.env }, stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.setEncoding('utf8').on('data', (d) => { out += d; });
  child.stderr.setEncoding('utf8').on('data', (d) => { err += d; });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  await waitFor(`the recorder on ${port}`, () => {
    if (child.exitCode !== null) throw new Error(`the recorder ended: ${err}`);
    return err.includes('recording');
  });
  const lines = () => out.split('\n').filter(Boolean);
  return {
    arrivals: () => lines().map((line) => {
      const parts = line.split(' ');
      return { bytes: parts.slice(0, -1).join(' '), time: Number(parts.at(-1)) };
    }),
    messages() { return this.arrivals().map((a) => a.bytes); },
    // Resolves with every message once there are `n`.
    async wait(n, timeout = 10000) {
      await waitFor(`${n} messages at the recorder`, () => this.messages().length >= n, timeout);
      return this.messages();
    },
    async stop() { child.stdin.end(); await exited; },
  };
}

module.exports = { JackServer, record, waitFor, sleep };
