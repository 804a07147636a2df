'use strict';
// The tray item and its menu as a StatusNotifierItem host sees them: the built tovra-bridge
// under Xvfb on a private D-Bus session bus, read and clicked by sni_host over D-Bus only.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const BUILD_DIR = process.env.TOVRA_BUILD_DIR || path.resolve(__dirname, '../../build');
const BINARY = path.join(BUILD_DIR, 'bin', 'tovra-bridge');
const SNI_HOST = path.join(process.env.TOVRA_TEST_TOOLS || path.join(BUILD_DIR, 'tests'), 'sni_host');
const PORT = 4173;
const LOCK = '/tmp/tovra-e2e.lock';
const GREEN = '#34C759';
const READY = 'Ready \u00B7 0 phones';
const QUIT = 'Quit Tovra for Now';

const onPath = (cmd) => spawnSync('sh', ['-c', `command -v ${cmd}`]).status === 0;
const missing = ['xvfb-run', 'dbus-daemon', 'flock'].filter((cmd) => !onPath(cmd));
const { sleep, waitFor: waitForWithin } = require('./lib/harness');
const waitFor = (what, check, timeout = 15000) => waitForWithin(what, check, { timeout });

// { ppid, state, start } from /proc, or null once the process is gone.
function stat(pid) {
  let text;
  try { text = fs.readFileSync(`/proc/${pid}/stat`, 'utf8'); } catch { return null; }
  const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
  return { pid, ppid: Number(fields[1]), state: fields[0], start: fields[19] };
}
const alive = (pid) => { const s = stat(pid); return s !== null && s.state !== 'Z'; };
const children = (pid) => fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)).map(Number).map(stat)
  .filter((s) => s && s.ppid === pid).map((s) => s.pid);
const descendants = (pid) => children(pid).flatMap((c) => [c, ...descendants(c)]);
const exeOf = (pid) => { try { return fs.readlinkSync(`/proc/${pid}/exe`); } catch { return null; } };

const connects = (host) => new Promise((resolve) => {
  const socket = net.connect({ host, port: PORT }, () => { socket.destroy(); resolve(true); });
  socket.on('error', () => resolve(false));
});
const portInUse = async () => (await connects('127.0.0.1')) || (await connects('::1'));

// Collects a child's output; stdout lines are parsed as JSON when they are.
function watch(child, name, log) {
  const record = { child, name, events: [], output: '', exited: null };
  child.on('exit', (code, signal) => { record.exited = { code, signal }; });
  child.on('error', (err) => { record.exited = { error: err.message }; });
  let pending = '';
  child.stdout?.setEncoding('utf8').on('data', (data) => {
    record.output += data;
    pending += data;
    for (let nl; (nl = pending.indexOf('\n')) >= 0; pending = pending.slice(nl + 1)) {
      const line = pending.slice(0, nl);
      try { record.events.push(JSON.parse(line)); } catch { record.events.push({ kind: 'text', line }); }
    }
  });
  child.stderr?.setEncoding('utf8').on('data', (data) => { record.output += data; });
  log.push(record);
  return record;
}

const isGrey = (colour) => {
  const [r, g, b] = [1, 3, 5].map((i) => parseInt(colour.slice(i, i + 2), 16));
  return Math.max(r, g, b) - Math.min(r, g, b) <= 16;
};

// What every read of the item and its menu must show, whatever the status line says.
function checkDump(dump, version) {
  assert.equal(dump.error, undefined, `reading the item failed: ${dump.error}`);
  assert.equal(dump.menuError, undefined, `reading the menu failed: ${dump.menuError}`);
  assert.equal(dump.stable, true, 'the item kept changing while it was read');
  assert.equal(dump.Status, 'Active');
  assert.ok(dump.menu && dump.menu !== '/', `menu path ${dump.menu}`);
  const tip = dump.toolTip ?? {};
  assert.ok(/^Tovra Automation/.test(tip.title) || /^Tovra Automation/.test(tip.text),
    `tooltip ${JSON.stringify(tip)}`);
  const plain = { enabled: true, visible: true, type: 'standard', 'toggle-type': '', 'toggle-state': -1, shortcut: [] };
  const separator = { ...plain, label: '', type: 'separator' };
  const entry = (label, more = {}) => ({ ...plain, label, ...more });
  const status = dump.entries?.[0]?.label;
  assert.ok(status, 'the first entry has a label');
  const expected = [
    entry(status, { enabled: false }), separator,
    entry('Set Up Phone\u2026', { shortcut: [['Control', 'S']] }),
    entry('Copy Private Phone Link'),
    entry('Open Controller on This Mac'), separator,
    entry('Start Tovra at Login', { 'toggle-type': 'checkmark', 'toggle-state': 1 }),
    entry('Restart Bridge'),
    entry('Reveal Log'), separator,
    entry(`Tovra ${version}`, { enabled: false }),
    entry(QUIT, { shortcut: [['Control', 'Q']] }),
  ];
  assert.deepEqual(dump.entries.map(({ id, ...rest }) => rest), expected);
  assert.equal(new Set(dump.entries.map((e) => e.id)).size, 12, 'entry ids are distinct');
  assert.match(dump.icon?.colour ?? '', /^#[0-9A-F]{6}$/, `the icon has opaque pixels: ${JSON.stringify(dump.icon)}`);
}

test('the tray item and its menu over StatusNotifierItem and dbusmenu', {
  skip: missing.length ? `not installed: ${missing.join(', ')}` : false, timeout: 280000,
}, async (t) => {
  for (const file of [BINARY, SNI_HOST]) assert.ok(fs.existsSync(file), `${file} is not built`);
  const version = /project\(TovraBridge VERSION (\S+)/
    .exec(fs.readFileSync(path.resolve(__dirname, '../../CMakeLists.txt'), 'utf8'))?.[1];
  assert.ok(version, 'project version in CMakeLists.txt');
  const begun = Date.now();
  const started = [];
  const seen = new Map(); // processes found under the app (Xvfb, the app, the server): pid → start time
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-tray-'));
  try {
    // Port 4173 is shared with the other end-to-end tests: hold their lock for the whole run.
    const lock = watch(spawn('flock', [LOCK, 'sh', '-c', 'echo locked; exec cat'],
      { detached: true, stdio: ['pipe', 'pipe', 'pipe'] }), 'flock', started);
    await waitFor(`the lock ${LOCK}`, () => lock.output.includes('locked') || lock.exited, 240000);
    assert.ok(lock.output.includes('locked'), `flock failed: ${lock.output}`);
    t.diagnostic(`held ${LOCK} after ${Date.now() - begun} ms`);
    if (await portInUse()) assert.fail(`port ${PORT} is already in use by another process; stop it first`);

    const home = path.join(root, 'home');
    const runtime = path.join(root, 'runtime');
    const bin = path.join(root, 'bin');
    for (const dir of [home, bin]) fs.mkdirSync(dir, { recursive: true });
    fs.mkdirSync(runtime, { mode: 0o700 });
    fs.writeFileSync(path.join(bin, 'xdg-open'), '#!/bin/sh\nexit 0\n', { mode: 0o755 }); // no browser

    const bus = watch(spawn('dbus-daemon', ['--session', '--nofork', '--print-address=1'],
      { detached: true, stdio: ['ignore', 'pipe', 'pipe'] }), 'dbus-daemon', started);
    await waitFor('the bus address', () => bus.exited || bus.output.includes('\n'), 10000);
    const address = bus.output.split('\n')[0];
    assert.match(address, /^unix:/, `dbus-daemon: ${bus.output} ${JSON.stringify(bus.exited)}`);

    const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: address, HOME: home,
      XDG_CONFIG_HOME: path.join(home, '.config'), XDG_DATA_HOME: path.join(home, '.local/share'),
      XDG_CACHE_HOME: path.join(home, '.cache'), XDG_STATE_HOME: path.join(home, '.local/state'),
      XDG_RUNTIME_DIR: runtime, PATH: `${bin}:${process.env.PATH}` };
    for (const name of ['QT_QPA_PLATFORM', 'DISPLAY', 'WAYLAND_DISPLAY']) delete env[name];

    const host = watch(spawn(SNI_HOST, ['--wait-ms', '30000'], { env, detached: true, stdio: ['pipe', 'pipe', 'pipe'] }),
      'sni_host', started);
    const event = (what, test, from = 0, timeout = 15000) => waitFor(what, () => {
      const found = host.events.slice(from).find(test);
      if (!found && host.exited) throw new Error(`sni_host exited ${JSON.stringify(host.exited)} before ${what}`);
      return found;
    }, timeout);
    await event('the watcher on the bus', (e) => e.kind === 'ready' || e.kind === 'error');
    assert.equal(host.events[0].kind, 'ready', host.output);

    const t0 = Date.now();
    const since = () => `${Date.now() - t0} ms after start`;
    const app = watch(spawn('xvfb-run', ['-a', '-s', '-screen 0 1280x800x24 -nolisten tcp', BINARY],
      { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] }), 'tovra-bridge', started);
    const registered = await event('the tray item to register', (e) => e.kind === 'registered', 0, 30000);
    assert.equal(registered.path, '/StatusNotifierItem');
    t.diagnostic(`item ${registered.service} at ${registered.path}, ${since()}`);
    // The status line moves on to Ready once the server answers: poll until it does. Until then
    // the icon is grey; with Ready it turns green.
    let dump = await event('the first read', (e) => e.kind === 'dump');
    let shown = '';
    for (let reads = 1; ; reads++) {
      descendants(app.child.pid).forEach((pid) => seen.set(pid, stat(pid)?.start));
      checkDump(dump, version);
      const [status, colour] = [dump.entries[0].label, dump.icon.colour];
      const line = `"${status}", icon ${colour}, tooltip ${JSON.stringify(dump.toolTip)}`;
      if (line !== shown) t.diagnostic(`read ${dump.n}, ${since()}: ${(shown = line)}`);
      if (status.startsWith('Ready')) break;
      assert.ok(colour !== GREEN && isGrey(colour), `icon ${colour} is not grey while "${status}"`);
      assert.ok(reads < 150, `still "${status}" after ${reads} reads`);
      await sleep(200);
      const from = host.events.length;
      host.child.stdin.write('dump\n');
      dump = await event('a read', (e) => e.kind === 'dump', from);
    }
    assert.equal(dump.entries[0].label, READY);
    assert.equal(dump.icon.colour, GREEN, 'icon colour once Ready');

    const appPid = await waitFor('the app process', () => descendants(app.child.pid)
      .find((pid) => exeOf(pid) === fs.realpathSync(BINARY)));
    const servers = children(appPid);
    descendants(app.child.pid).forEach((pid) => seen.set(pid, stat(pid)?.start));
    assert.ok(servers.length > 0, 'the app has started its server');
    assert.ok(await portInUse(), `the server listens on ${PORT}`);

    const from = host.events.length;
    host.child.stdin.write(`click ${QUIT}\n`);
    const clicked = await event('the click', (e) => e.kind === 'clicked', from);
    assert.equal(clicked.error, '', `Event clicked: ${clicked.error}`);
    await event('the item to leave the bus', (e) => e.kind === 'gone', from);
    await waitFor('the app to exit', () => app.exited);
    t.diagnostic(`app exited ${since()}`);
    assert.deepEqual(app.exited, { code: 0, signal: null }, app.output);
    await waitFor('the server to exit', () => servers.every((pid) => !alive(pid)));
    await waitFor(`port ${PORT} to be free`, async () => !(await portInUse()));
    t.diagnostic(`server gone and port free ${since()}`);
    await waitFor('sni_host to exit', () => host.exited);
    assert.deepEqual(host.exited, { code: 0, signal: null }, host.output);
  } catch (err) {
    for (const record of started) t.diagnostic(`${record.name} output:\n${record.output.slice(-4000)}`);
    throw err;
  } finally {
    for (const record of started.reverse()) {
      if (record.exited) continue;
      record.child.stdin?.end();
      try { process.kill(-record.child.pid, 'SIGTERM'); } catch {}
      await waitFor(`${record.name} to stop`, () => record.exited, 3000).catch(() => {
        try { process.kill(-record.child.pid, 'SIGKILL'); } catch {}
      });
    }
    for (const [pid, start] of seen) {
      if (alive(pid) && stat(pid).start === start) try { process.kill(pid, 'SIGKILL'); } catch {}
    }
    fs.rmSync(root, { recursive: true, force: true });
  }
});
