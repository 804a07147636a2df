'use strict';
// Runs the built tovra-bridge in a temporary home and watches it from outside: /proc, its files, a
// recording xdg-open first on PATH, and, for a desktop, Xvfb with a private session bus.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { JackServer, record } = require('../support/jack');

const built = process.env.TOVRA_BUILD_DIR || path.resolve(__dirname, '../../build');
const BUILD = fs.existsSync(built) ? fs.realpathSync(built) : built; // a package's test needs none
const PORT = 4173;
const VERSION = /project\(TovraBridge VERSION (\S+)/.exec(fs.readFileSync(`${__dirname}/../../CMakeLists.txt`, 'utf8'))[1];
// What --quit says of a server that was still running as the program left.
const STILL_RUNNING = 'tovra-bridge: the bridge server was still running: it was asked to stop, and whatever is left of it is ended within 5 s\n';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const read = (file, fallback = '') => { try { return fs.readFileSync(file, 'utf8'); } catch { return fallback; } };
async function waitFor(what, check, timeout = 10000) {
  let value;
  for (const end = Date.now() + timeout; !(value = await check()); await sleep(20)) {
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
  return value;
}
// Whether `child` ended within `ms`: a bound on the wait, not a pause.
const endsWithin = (child, ms) => waitFor('its end', () => child.exitCode !== null || child.signalCode !== null, ms).then(() => true, () => false);

// /proc, by pid.
const stat = (pid) => {
  const [state, ppid, pgrp] = read(`/proc/${pid}/stat`).replace(/^.*\) /s, '').split(' ');
  return state && { pid: Number(pid), ppid: Number(ppid), pgrp: Number(pgrp), state };
};
const alive = (pid) => ![undefined, 'Z'].includes(stat(pid)?.state);
const processes = () => fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)).map(stat).filter(Boolean);
const childrenOf = (pid) => processes().filter((p) => p.ppid === pid && p.state !== 'Z').map((p) => p.pid);
const comm = (pid) => read(`/proc/${pid}/comm`).trim();
const cmdline = (pid) => read(`/proc/${pid}/cmdline`).split('\0').slice(0, -1);
const environ = (pid) => Object.fromEntries(read(`/proc/${pid}/environ`).split('\0').filter(Boolean)
  .map((entry) => [entry.slice(0, entry.indexOf('=')), entry.slice(entry.indexOf('=') + 1)]));
const fds = (pid) => Object.fromEntries(fs.readdirSync(`/proc/${pid}/fd`)
  .map((fd) => { try { return [fd, fs.readlinkSync(`/proc/${pid}/fd/${fd}`)]; } catch { return [fd, null]; } }));

// GET on loopback; { status, body } or null when nothing answered.
const get = (urlPath, { host = '127.0.0.1', timeout = 2000 } = {}) => new Promise((resolve) => {
  const req = http.get({ host, port: PORT, path: urlPath, timeout, headers: { Host: `localhost:${PORT}` } }, (res) => {
    let body = '';
    res.setEncoding('utf8').on('data', (d) => { body += d; }).on('end', () => resolve({ status: res.statusCode, body }));
  });
  req.on('timeout', () => req.destroy()).on('error', () => resolve(null));
});
const portTaken = (host) => new Promise((resolve) => {
  const socket = net.connect({ host, port: PORT }, () => { socket.destroy(); resolve(true); }).on('error', () => resolve(false));
});

// A child whose stdout is JSON lines (or text), kept in `events`; `output` is both streams.
function watch(child) {
  Object.assign(child, { events: [], output: '', out: '', err: '' });
  child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  child.stdout?.setEncoding('utf8').on('data', (data) => {
    child.output += data;
    child.out += data;
    for (const line of data.split('\n').filter(Boolean)) { try { child.events.push(JSON.parse(line)); } catch {} }
  });
  child.stderr?.setEncoding('utf8').on('data', (data) => { child.output += data; child.err += data; });
  child.event = (kind, from = 0, timeout = 10000) => waitFor(`"${kind}" from ${child.spawnfile}`,
    () => child.events.slice(from).find((e) => e.kind === kind), timeout);
  return child;
}

// Every start of a user looks for its instance in the same places whatever its environment
// (/tmp/tovra-bridge-<uid> and the names that give way to it, /run/user/<uid>). Here those are the
// session's own: a process of the session keeps a mount namespace in which the session's folders
// are bound over them, and every process the session starts enters it (nsenter execs, so the pid
// is the program's). So sessions of a suite, and suites run beside it, never meet. That takes
// root; without it, processes start as they are.
const UID = process.getuid();
const userPlaces = Array.from({ length: 9 }, (_, n) => `/tmp/tovra-bridge-${UID}${n ? `.${n}` : ''}`);
const exists = (file) => { try { return !!fs.lstatSync(file); } catch { return false; } };
async function namespace(root) {
  if (UID !== 0) return null;
  try { fs.mkdirSync(userPlaces[0], { mode: 0o700 }); } catch {} // the first one's mount point
  const binds = userPlaces.map((place, n) => exists(place) && `mount --bind '${root}/places/${n}' '${place}'`).filter(Boolean);
  const runtime = exists('/run/user') ? ['mount -t tmpfs -o mode=755 tovra /run/user'] : [];
  const holder = watch(spawn('unshare', ['--mount', '--', '/bin/sh', '-c', [...binds, ...runtime, 'echo ready', 'exec sleep infinity'].join(' && ')],
    { detached: true, stdio: ['ignore', 'pipe', 'pipe'] }));
  await waitFor('the session\'s mount namespace', () => holder.out === 'ready\n' || holder.exitCode !== null);
  if (holder.exitCode !== null) throw new Error(`no mount namespace for the session: ${holder.err}`);
  return holder;
}

// A temporary home, cleaned up after test `t`; `server` (a script, or 'built' for the built server)
// gives the app a bundle of its own, whose runtime is `runtime`.
async function session({ server, runtime = process.execPath, binary = path.join(BUILD, 'bin/tovra-bridge'), t } = {}) {
  if (await portTaken('127.0.0.1') || await portTaken('::1')) throw new Error(`port ${PORT} is in use; stop what holds it`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-e2e-'));
  const home = path.join(root, 'home');
  const s = { root, home, binary, started: [], jacks: [], share: path.join(path.dirname(path.dirname(binary)), 'share/tovra-bridge'),
    logFile: path.join(home, '.local/state/Tovra/Tovra Bridge.log'), dataDir: path.join(home, '.local/share/Tovra Automation'),
    settings: path.join(home, '.config/Tovra/Tovra Bridge.conf'), autostart: path.join(home, '.config/autostart/tovra-bridge.desktop') };
  for (const dir of ['bin', 'run', 'home', 'places']) fs.mkdirSync(path.join(root, dir), { mode: 0o700 });
  userPlaces.forEach((_, n) => fs.mkdirSync(path.join(root, 'places', String(n)), { mode: 0o700 }));
  s.places = path.join(root, 'places/0'); // what the instance's first place holds
  const holder = await namespace(root);
  // It also says what it opens on stderr, as a desktop's opener may when it finds no browser.
  fs.writeFileSync(path.join(root, 'bin/xdg-open'), `#!/bin/sh\necho "$*" >> '${root}/opened'; echo "$*" >&2\n`, { mode: 0o755 });
  if (server !== undefined) {
    s.binary = path.join(root, 'bundle/bin/tovra-bridge');
    s.share = path.join(root, 'bundle/share/tovra-bridge');
    for (const file of ['bin/tovra-bridge', 'libexec/tovra-bridge/tovra-bridge', 'libexec/tovra-bridge/tovra-guard']) fs.cpSync(path.join(BUILD, file), path.join(root, 'bundle', file));
    fs.mkdirSync(path.join(s.share, 'runtime'), { recursive: true });
    // The built server's folder and its MIDI module, where the server's build.json finds it.
    fs.cpSync(path.join(BUILD, 'share/tovra-bridge/app'), path.join(s.share, 'app'), { recursive: true });
    fs.cpSync(path.join(BUILD, 'lib/tovra-bridge'), path.join(root, 'bundle/lib/tovra-bridge'), { recursive: true });
    fs.symlinkSync(runtime, path.join(s.share, 'runtime/node-arm64'));
    if (server !== 'built') fs.writeFileSync(path.join(s.share, 'app/server.js'), server);
  }
  s.env = { PATH: `${root}/bin:${process.env.PATH}`, HOME: home, XDG_RUNTIME_DIR: path.join(root, 'run'), LANG: 'C.UTF-8' };
  s.log = () => read(s.logFile);
  s.banners = () => [...s.log().matchAll(/\n--- Tovra started (\S+) ---\n/g)].map((m) => m[1]);
  s.opened = () => read(path.join(root, 'opened')).split('\n').filter(Boolean);
  const inside = (file, args) => holder ? ['nsenter', [`--mount=/proc/${holder.pid}/ns/mnt`, '--', file, ...args]] : [file, args];
  s.spawn = (file, args = [], env = {}) => s.started[s.started.push(watch(spawn(...inside(file, args),
    { env: { ...s.env, ...env }, cwd: root, detached: true, stdio: ['pipe', 'pipe', 'pipe', 'pipe'] }))) - 1];
  s.start = (env = {}, args = []) => Object.assign(s.spawn(s.binary, args, env), { env: { ...s.env, ...env } });
  // A start with options (after an environment of its own, if one is given) that only prints or
  // asks: its exit, and what it printed on each stream.
  s.run = async (...args) => {
    const c = s.start(typeof args[0] === 'object' ? args.shift() : {}, args);
    return { ...(await c.exited), out: c.out, err: c.err };
  };
  // The app's guards, and the servers they run.
  s.guards = (app) => childrenOf(app.pid).filter((pid) => comm(pid) === 'tovra-guard');
  s.servers = (app) => s.guards(app).flatMap(childrenOf).filter((pid) => cmdline(pid).some((arg) => arg.startsWith(`${s.share}/`)));
  s.server = (app) => waitFor('a running server', () => s.servers(app)[0]);
  // The server, once it answers.
  s.ready = async (app) => (await waitFor('/health', async () => (await get('/health'))?.status === 200), s.server(app));
  // Xvfb and a private session bus, for all that this session starts from now on.
  s.desktop = async () => {
    const bus = s.spawn('dbus-daemon', ['--session', '--nofork', '--print-address=1']);
    s.env.DBUS_SESSION_BUS_ADDRESS = (await waitFor('the bus', () => bus.output.split('\n')[0])).trim();
    const x = s.display();
    s.env.DISPLAY = `:${(await waitFor('the display', () => /^\d+\n/.exec(x.output)))[0].trim()}`;
    return { bus, x };
  };
  // An X server: on the display given (":93"), or on one it picks and prints. Like a desktop's, it
  // does not reset when its last client leaves (a reset refuses whoever connects meanwhile).
  s.display = (name) => s.spawn('Xvfb', [...(name ? [name] : ['-displayfd', '1']), '-noreset', '-nolisten', 'tcp', '-screen', '0', '1024x768x24']);
  // dbus_host.py in the roles given; read() resolves with the item as the host reads it.
  s.host = (...roles) => Object.assign(s.spawn('/usr/bin/python3', [path.join(__dirname, 'dbus_host.py'), ...roles]), {
    read() { this.stdin.write('read\n'); return this.event('item', this.events.length); },
    click(label) { this.stdin.write(`click ${label}\n`); },
  });
  // A private JACK server, stopped with the session.
  s.jack = async () => s.jacks[s.jacks.push(new JackServer()) - 1].start();
  if (holder) s.started.push(holder); // ended last
  // The JACK servers stop last: one that stops while a client leaves gets SIGPIPE writing to it, and
  // dies before it leaves JACK's registry of servers (whose eight places then fill up).
  s.cleanup = async () => {
    const all = processes().filter((p) => p.state !== 'Z');
    const left = s.started.map((child) => child.pid);
    for (let i = 0; i < left.length; i++) left.push(...all.filter((p) => p.ppid === left[i]).map((p) => p.pid));
    for (const child of s.started.reverse()) { try { process.kill(-child.pid, 'SIGKILL'); } catch {} }
    for (const pid of left) { try { process.kill(pid, 'SIGKILL'); } catch {} }
    await waitFor('every process to end', () => left.every((pid) => !alive(pid)));
    for (const jack of s.jacks) await jack.release();
    fs.rmSync(root, { recursive: true, force: true });
  };
  t?.after(s.cleanup);
  return s;
}

module.exports = { PORT, BUILD, VERSION, STILL_RUNNING, sleep, read, waitFor, endsWithin, alive, stat, processes, comm, cmdline,
  environ, fds, get, portTaken, session, record };
