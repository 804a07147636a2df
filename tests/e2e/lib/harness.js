'use strict';
// Runs the built tovra-bridge in a temporary home and observes it from outside: /proc, the
// log, the settings and autostart files, and a recording xdg-open first on PATH.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const BUILD_DIR = fs.realpathSync(process.env.TOVRA_BUILD_DIR || path.resolve(__dirname, '../../../build'));
const BINARY = path.join(BUILD_DIR, 'bin', 'tovra-bridge');
const STANDIN = path.join(BUILD_DIR, 'share', 'tovra-bridge', 'app', 'server.js');
const PORT = 4173;
const BANNER = /\n--- Tovra started (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) ---\n/g;
process.umask(0o022); // so that a file created without an explicit mode shows up

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const readOr = (file, fallback = '') => { try { return fs.readFileSync(file, 'utf8'); } catch { return fallback; } };
const linkOf = (file) => { try { return fs.readlinkSync(file); } catch { return null; } };

// Polls `check` until it returns something truthy; fails after `timeout` ms naming `what`.
async function waitFor(what, check, { timeout = 10000, interval = 50 } = {}) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(interval);
  }
}

// { pid, ppid, state } of a process, or null once it is gone.
function stat(pid) {
  const text = readOr(`/proc/${pid}/stat`, null);
  if (!text) return null;
  const [state, ppid] = text.slice(text.lastIndexOf(')') + 2).split(' ');
  return { pid: Number(pid), ppid: Number(ppid), state };
}
const alive = (pid) => { const s = stat(pid); return s !== null && s.state !== 'Z'; };
const childrenOf = (pid) => fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)).map(stat)
  .filter((s) => s && s.ppid === pid);
const cmdline = (pid) => readOr(`/proc/${pid}/cmdline`).split('\0').slice(0, -1);
const environ = (pid) => Object.fromEntries(readOr(`/proc/${pid}/environ`).split('\0').filter(Boolean)
  .map((entry) => [entry.slice(0, entry.indexOf('=')), entry.slice(entry.indexOf('=') + 1)]));
const fds = (pid) => Object.fromEntries(fs.readdirSync(`/proc/${pid}/fd`)
  .map((fd) => [fd, linkOf(`/proc/${pid}/fd/${fd}`)]).filter(([, target]) => target));

// GET with a time-out; resolves { status, body } or null when nothing usable answered.
function get(url, timeout = 2000) {
  return new Promise((resolve) => {
    const req = http.get(url, { timeout }, (res) => {
      let body = '';
      res.setEncoding('utf8').on('data', (d) => { body += d; });
      res.on('end', () => resolve({ status: res.statusCode, body })).on('error', () => resolve(null));
    });
    req.on('timeout', () => req.destroy()).on('error', () => resolve(null));
  });
}

// Fails at once, instead of hanging or testing someone else's server, when 4173 is taken.
async function assertPortFree() {
  for (const host of ['127.0.0.1', '::1']) {
    const taken = await new Promise((resolve) => {
      const socket = net.connect({ host, port: PORT }, () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (taken) throw new Error(`port ${PORT} on ${host} is already in use by another process; stop it first`);
  }
}

// A temporary home and, with `server` (script text, or STANDIN to copy), a bundle of its own:
// a copy of the binary beside share/tovra-bridge/{runtime/node-arm64, app/server.js}; the
// runtime links to node unless `runtime` gives a script to use instead.
async function session({ server, runtime } = {}) {
  await assertPortFree();
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-e2e-'));
  const s = { root, home: path.join(root, 'home'), apps: [], seen: new Set(), binary: BINARY, share: null };
  s.config = path.join(s.home, '.config');
  s.logFile = path.join(s.home, 'Library', 'Logs', 'Tovra Bridge.log');
  s.dataDir = path.join(s.home, 'Library', 'Application Support', 'Tovra Automation');
  s.settingsFile = path.join(s.config, 'Tovra', 'Tovra Bridge.conf');
  s.autostartFile = path.join(s.config, 'autostart', 'tovra-bridge.desktop');
  s.openedFile = path.join(root, 'xdg-open.calls');
  for (const dir of [s.config, path.join(root, 'bin'), path.join(root, 'run')]) fs.mkdirSync(dir, { recursive: true });
  fs.chmodSync(path.join(root, 'run'), 0o700);
  fs.writeFileSync(path.join(root, 'bin', 'xdg-open'), `#!/bin/sh\necho "$*" >> '${s.openedFile}'\n`, { mode: 0o755 });
  s.share = path.join(BUILD_DIR, 'share', 'tovra-bridge');
  if (server !== undefined) {
    s.share = path.join(root, 'bundle', 'share', 'tovra-bridge');
    s.binary = path.join(root, 'bundle', 'bin', 'tovra-bridge');
    for (const dir of ['bin', 'share/tovra-bridge/runtime', 'share/tovra-bridge/app']) {
      fs.mkdirSync(path.join(root, 'bundle', dir), { recursive: true });
    }
    fs.copyFileSync(BINARY, s.binary);
    fs.chmodSync(s.binary, 0o755);
    if (runtime) fs.writeFileSync(path.join(s.share, 'runtime', 'node-arm64'), runtime, { mode: 0o755 });
    else fs.symlinkSync(process.execPath, path.join(s.share, 'runtime', 'node-arm64'));
    fs.writeFileSync(path.join(s.share, 'app', 'server.js'), server === STANDIN ? fs.readFileSync(STANDIN) : server);
  }
  s.log = () => readOr(s.logFile);
  s.banners = () => [...s.log().matchAll(BANNER)].map((m) => m[1]);
  s.opened = () => readOr(s.openedFile).split('\n').filter(Boolean);
  // The app's children, remembered so that cleanup can wait for every one of them.
  s.children = (app) => childrenOf(app.pid).map((c) => (s.seen.add(c.pid), c));
  s.liveChild = (app) => waitFor('a running server child', () => s.children(app).find((c) => c.state !== 'Z'));

  // `ignored` signals (names without SIG) are ignored in the app from its start.
  s.start = (extraEnv = {}, { ignored = [] } = {}) => {
    const env = { PATH: `${path.join(root, 'bin')}:${process.env.PATH}`, HOME: s.home, XDG_CONFIG_HOME: s.config,
      QT_QPA_PLATFORM: 'offscreen', LANG: process.env.LANG || 'C.UTF-8', XDG_RUNTIME_DIR: path.join(root, 'run'),
      ...extraEnv };
    // Its own process group: cleanup kills the app and everything it started in one go.
    const [file, args] = ignored.length ? ['/bin/sh', ['-c', `trap '' ${ignored.join(' ')}; exec "$0"`, s.binary]]
      : [s.binary, []];
    // fd 3: a descriptor inherited without close-on-exec, which must not reach the server.
    const app = spawn(file, args, { env, cwd: root, detached: true, stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
    app.env = env;
    app.output = '';
    app.stdout.on('data', (d) => { app.output += d; });
    app.stderr.on('data', (d) => { app.output += d; });
    app.exited = new Promise((resolve) => {
      app.once('exit', (code, signal) => resolve({ code, signal }));
      app.once('error', (error) => resolve({ code: null, signal: null, error }));
    });
    s.apps.push(app);
    return app;
  };
  s.exitOf = (app, what = 'the app to exit') => {
    let done = null;
    app.exited.then((result) => { done = result; });
    return waitFor(what, () => done, { timeout: 10000 });
  };
  s.cleanup = async () => {
    for (const app of s.apps) {
      try { process.kill(-app.pid, 'SIGKILL'); } catch {}
      await app.exited;
    }
    for (const pid of s.seen) if (alive(pid)) try { process.kill(pid, 'SIGKILL'); } catch {}
    await waitFor('the app\'s children to end', () => [...s.seen].every((pid) => !alive(pid)));
    fs.rmSync(root, { recursive: true, force: true });
  };
  return s;
}

module.exports = { BUILD_DIR, BINARY, STANDIN, PORT, sleep, waitFor, alive, stat, childrenOf, cmdline, environ,
  fds, get, session, readOr };
