'use strict';
// For the server's and the end-to-end tests: a private JACK server (Debian's jackd with the dummy
// driver, 48 kHz, 64 frames, under a name of its own) and a JACK client that records the MIDI
// reaching it (the build's tovra_midi_recorder). The server runs synchronously (-S): on a busy
// machine a client that is late makes the cycle wait, where JACK would otherwise let the cycle's
// MIDI go between two clients.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function waitFor(what, check, timeout = 10000) {
  let value;
  for (const end = Date.now() + timeout; !(value = await check()); await sleep(20)) {
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
  return value;
}
const attempt = (read, otherwise) => { try { return read(); } catch { return otherwise; } };
const alive = (pid) => { try { process.kill(pid, 0); return true; } catch (error) { return error.code === 'EPERM'; } };

// JACK keeps a registry of at most eight servers, and a killed server keeps its entry until one of
// the same name starts. So a test process names its servers after itself and gives a released
// name to its next server (`tovra-test-<pid>-1`, and -2 only while two run at once); a server that
// is killed is started again before it is released.
const released = [];
let count = 0;

// Whether process `pid` holds the socket bound at `socketPath` (a server that could not start, as
// another of its name runs, never binds it).
function holds(pid, socketPath) {
  const sockets = new Set(attempt(() => fs.readFileSync('/proc/net/unix', 'utf8'), '').split('\n')
    .filter((line) => line.endsWith(` ${socketPath}`)).map((line) => `socket:[${line.trim().split(/\s+/)[6]}]`));
  return attempt(() => fs.readdirSync(`/proc/${pid}/fd`), [])
    .some((fd) => sockets.has(attempt(() => fs.readlinkSync(`/proc/${pid}/fd/${fd}`), null)));
}

// The state letter of each thread of process `pid` ('T' while stopped by a signal).
const threadStates = (pid) => fs.readdirSync(`/proc/${pid}/task`)
  .map((tid) => attempt(() => fs.readFileSync(`/proc/${pid}/task/${tid}/stat`, 'utf8').replace(/^.*\) /s, '')[0], null)) // a thread that has ended
  .filter(Boolean);

// The servers of test processes that have gone which JACK's registry still counts: a killed server
// keeps its entry until a server of its name starts, and a test process killed in between never
// starts it. The registry (/dev/shm/jack-shm-registry) is a 24-byte header, then eight entries of
// a pid and a name "jack-<uid>:<server>:" in 257 bytes, 264 in all.
function leftBehind() {
  const registry = attempt(() => fs.readFileSync('/dev/shm/jack-shm-registry'), Buffer.alloc(0));
  const names = [];
  for (let at = 24; at < 24 + 8 * 264 && at + 264 <= registry.length; at += 264) {
    const pid = registry.readInt32LE(at);
    const entry = /^jack-(\d+):(tovra-test-(\d+)-\d+):$/.exec(registry.toString('latin1', at + 4, at + 261).split('\0')[0]);
    if (pid > 0 && entry && Number(entry[1]) === process.getuid() && !alive(pid) && !alive(Number(entry[3]))) names.push(entry[2]);
  }
  return names;
}

// start() resolves once the server takes clients; a server started again keeps its name.
// release() stops it for good.
class JackServer {
  // `synchronous: false` runs it as JACK runs by default, for figures as users see them.
  constructor({ synchronous = true } = {}) {
    Object.assign(this, { synchronous, name: null, env: {}, child: null });
  }

  // `jack_lsp` against it: its ports (with -t, their types), or null when it does not answer. A
  // JACK server refuses a client now and then while another JACK server takes one (other tests'),
  // so a refusal is asked again a few times.
  ports(...options) {
    for (let tries = 0; tries < 20; tries++) {
      const lsp = spawnSync('jack_lsp', options, { env: { ...process.env, ...this.env }, encoding: 'utf8', timeout: 5000 });
      if (lsp.status === 0) return lsp.stdout;
    }
    return null;
  }

  // JACK has room for eight servers on a machine, other tests' included: a start that finds none
  // frees what gone tests left behind, or else waits for room, up to a minute.
  async start() {
    this.name ??= released.pop() ?? `tovra-test-${process.pid}-${++count}`;
    if (!this.child) {
      await waitFor(`room for JACK server ${this.name}`, async () => await this.launch(this.name) || await freeLeftBehind() && false, 60000);
    }
    this.env = { JACK_DEFAULT_SERVER: this.name };
    return this;
  }

  // Starts jackd as `name`: true once it takes clients, false when JACK has no room for it.
  async launch(name) {
    const mode = this.synchronous ? ['-S'] : [];
    // Killed with the test (setpriv execs jackd with a parent-death signal): a test that is killed
    // leaves no JACK server running beside the next ones.
    const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'jackd', ...mode, '-n', name, '-d', 'dummy', '-r', '48000', '-p', '64'],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    this.output = '';
    for (const stream of [child.stdout, child.stderr]) stream.setEncoding('utf8').on('data', (d) => { this.output += d; });
    const exited = new Promise((resolve) => child.once('exit', resolve));
    let ended = false; // and all it said read
    child.once('close', () => { ended = true; });
    const env = { ...process.env, JACK_DEFAULT_SERVER: name };
    const socket = `/dev/shm/jack_${name}_${process.getuid()}_0`;
    const answers = () => holds(child.pid, socket) && spawnSync('jack_lsp', [], { env, stdio: 'ignore', timeout: 5000 }).status === 0;
    await waitFor(`JACK server ${name}`, () => ended || answers());
    if (ended) {
      if (/Too many servers already active/.test(this.output)) return false;
      if (/already active/.test(this.output)) throw new Error(`jackd ${name}: another server has its name`);
      throw new Error(`jackd ${name} ended:\n${this.output}`);
    }
    Object.assign(this, { child, exited, killed: false });
    return true;
  }

  // Sends `signal`; resolves once it has taken effect: for SIGSTOP, once every thread of the
  // server stands still (a signal reaches another process a moment after kill returns); for
  // SIGCONT, once none does; for one that ends it, once it has ended (and been reaped).
  async stop(signal = 'SIGTERM') {
    if (!this.child) return;
    this.child.kill(signal);
    if (signal === 'SIGSTOP' || signal === 'SIGCONT') {
      const still = signal === 'SIGSTOP';
      await waitFor(`jackd ${this.name} to ${still ? 'stand still' : 'go on'}`, () => threadStates(this.child.pid)
        .every((state) => (state === 'T') === still));
      return;
    }
    this.child.kill('SIGCONT'); // a stopped server takes its signal only once it goes on
    await this.exited;
    this.child = null;
    this.killed = signal === 'SIGKILL';
  }

  // Stops it, leaving nothing in JACK's registry, and gives its name back.
  async release() {
    if (this.name === null) return;
    if (this.killed) await this.start();
    await this.stop('SIGTERM');
    released.push(this.name);
    this.name = null;
  }
}

// Frees the entries of leftBehind(): a server of the name takes its entry, and gives it back as it stops.
async function freeLeftBehind() {
  for (const name of leftBehind()) {
    const server = new JackServer();
    if (await server.launch(name).catch(() => false)) await server.stop('SIGTERM');
  }
  return true;
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
  return {
    arrivals: () => out.split('\n').filter(Boolean).map((line) => {
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
