'use strict';
// One instance per user whatever the environment of each start, and a command line that tells the
// truth: the instance reached from every environment, one that is held but silent told from none,
// a request carried out only while its asker waits, options that end at once on a signal, a phone
// link of any size, and a display that queues connections without ever taking one.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib');

// A Unix socket that takes connections into its queue and never accepts one; it says "queued" once
// one waits there, found by polling the listener, which accepts nothing.
const neverAccepting = (s, file) => s.spawn('/usr/bin/python3', ['-c', `import select, socket, sys, time
listener = socket.socket(socket.AF_UNIX); listener.bind(sys.argv[1]); listener.listen(16); print('listening', flush=True)
select.select([listener], [], []); print('queued', flush=True); time.sleep(1e6)`, file]);
const SILENT = 'tovra-bridge: the running Tovra Bridge did not answer\n';
// The server, once the app has seen it answer.
const ready = async (s, app) => {
  const server = await s.ready(app);
  // Ready, or MIDI unavailable where no MIDI system runs: either is an answer the app has seen,
  // kept as the line every later --status must print.
  s.seen = await h.waitFor('the status line', async () => {
    const { out } = await s.run('--status');
    return /^(Ready \u00B7 0 phones|MIDI unavailable \u00B7 restart)\n$/.test(out) && out;
  });
  return server;
};
const freeDisplay = (from) => [...Array(50).keys()].map((n) => n + from).find((n) => !fs.existsSync(`/tmp/.X11-unix/X${n}`));

// Started before the other tests, and looked at after them: the 30 s wait for a display that
// queues connections and never takes one. Its server holds no port.
const queued = h.session({ server: 'setInterval(() => {}, 1e6);\n' }).then(async (s) => {
  const socket = `/tmp/.X11-unix/X${freeDisplay(200)}`;
  const listener = neverAccepting(s, socket);
  await h.waitFor('the display socket', () => listener.out.includes('listening'));
  return { s, socket, app: s.start({ DISPLAY: `:${socket.slice(socket.lastIndexOf('X') + 1)}` }), begun: Date.now() };
});

test('one instance per user whatever the environment of each start; the command line reaches it from each', async (t) => {
  const s = await h.session({ server: 'built', t });
  const late = path.join(s.root, 'late');
  const desktop = {}, plain = { XDG_RUNTIME_DIR: undefined }, appearing = { XDG_RUNTIME_DIR: late };
  const servers = () => h.processes().filter((p) => p.state !== 'Z' && h.cmdline(p.pid)[0] === 'node' &&
    h.cmdline(p.pid).includes(path.join(s.share, 'app/server.js')));
  for (const [label, first, second, between] of [
    ['a start without XDG_RUNTIME_DIR beside the desktop\'s', desktop, plain],
    ['the desktop\'s start beside one without XDG_RUNTIME_DIR', plain, desktop],
    // The toolkit makes a missing runtime folder as the program starts: so it comes after the claim.
    ['an XDG_RUNTIME_DIR that appears after the first start', appearing, appearing, () => fs.mkdirSync(late, { recursive: true, mode: 0o700 })],
  ]) {
    const app = s.start(first);
    const server = await ready(s, app);
    between?.();
    const other = s.start(second);
    assert.ok(await h.endsWithin(other, 5000), `${label}: a second supervisor runs`);
    assert.deepEqual(await other.exited, { code: 0, signal: null }, label);
    assert.deepEqual(servers().map((p) => p.pid), [server], label);
    for (const env of [first, second]) {
      assert.deepEqual(await s.run(env, '--status'), { code: 0, signal: null, out: s.seen, err: '' }, label);
      const again = s.start(env);
      assert.deepEqual(await again.exited, { code: 0, signal: null }, `${label}: ${again.output}`);
    }
    assert.deepEqual(await s.run(second, '--quit'), { code: 0, signal: null, out: '', err: h.STILL_RUNNING }, label);
    assert.deepEqual(await app.exited, { code: 0, signal: null }, label);
    await h.waitFor('the server to end', () => !h.alive(server));
    // No start speaks of a place it did not even try.
    assert.doesNotMatch(app.output + other.output, /lock/, label);
    fs.rmSync(late, { recursive: true, force: true });
  }
});

test('of two starts at the same instant with different environments, exactly one runs', async (t) => {
  const s = await h.session({ server: 'built', t });
  for (let round = 0; round < 4; round++) {
    const twins = [s.start(), s.start({ XDG_RUNTIME_DIR: undefined, XDG_CACHE_HOME: `${s.root}/cache` })];
    assert.ok(await h.waitFor('one to leave', () => twins.some((twin) => twin.exitCode !== null), 5000).catch(() => false),
      `round ${round}: both run`);
    assert.deepEqual(await Promise.race(twins.map((twin) => twin.exited)), { code: 0, signal: null }, `round ${round}`);
    const runner = twins.find((twin) => twin.exitCode === null);
    assert.ok(runner, `round ${round}: both left`);
    const server = await s.ready(runner);
    assert.equal(twins.filter((twin) => twin.exitCode === null).length, 1, `round ${round}: both run`);
    // It runs until it is told to quit.
    assert.equal((await s.run('--quit')).code, 0);
    assert.deepEqual(await runner.exited, { code: 0, signal: null }, `round ${round}`);
    await h.waitFor('the server to end', () => !h.alive(server));
  }
});

test('a stopped instance: the options and a second start say it does not answer; continued, it does not act on what its asker gave up', async (t) => {
  const s = await h.session({ server: 'built', t });
  await s.desktop();
  const notices = s.host('notifications');
  await notices.event('ready');
  const app = s.start();
  await ready(s, app);
  process.kill(app.pid, 'SIGSTOP');
  t.after(() => { try { process.kill(app.pid, 'SIGCONT'); } catch {} });
  for (const option of ['--quit', '--status']) {
    assert.deepEqual(await s.run(option), { code: 1, signal: null, out: '', err: SILENT }, option);
  }
  const second = s.start();
  assert.deepEqual([await second.exited, second.out, second.err], [{ code: 1, signal: null }, '', SILENT]);
  const notice = await notices.event('notify');
  assert.deepEqual([notice.summary, notice.body], ['Not answering', 'It runs but does not answer. Try again.']);

  process.kill(app.pid, 'SIGCONT');
  // Requests are served in the order they came: once this one is answered, the quit before it was
  // seen, and dropped, because its asker had gone.
  assert.equal((await s.run('--status')).out, s.seen);
  assert.equal((await s.run('--status')).code, 0);
  assert.equal(app.exitCode, null, 'it acted on the quit of an asker that had gone');
  assert.deepEqual(await s.run('--quit'), { code: 0, signal: null, out: '', err: h.STILL_RUNNING });
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});

test('an option waiting on a silent instance ends at once on SIGTERM, SIGINT and SIGHUP', async (t) => {
  const s = await h.session({ server: 'built', t });
  const app = s.start();
  await s.ready(app);
  process.kill(app.pid, 'SIGSTOP');
  t.after(() => { try { process.kill(app.pid, 'SIGCONT'); } catch {} });
  for (const [option, signal] of [['--status', 'SIGTERM'], ['--phone-link', 'SIGINT'], ['--quit', 'SIGHUP']]) {
    const asker = s.start({}, [option]);
    // Once it has connected: a socket among its descriptors past the four it was started with.
    await h.waitFor('the asker to connect', () => {
      try { return Object.entries(h.fds(asker.pid)).some(([fd, to]) => fd > 3 && to?.startsWith('socket:')); } catch { return false; }
    });
    process.kill(asker.pid, signal);
    const sent = Date.now();
    assert.ok(await h.endsWithin(asker, 500), `${option} went on ${Date.now() - sent} ms after ${signal}`);
    assert.deepEqual(await asker.exited, { code: null, signal }, option);
  }
  process.kill(app.pid, 'SIGCONT');
  assert.equal((await s.run('--quit')).code, 0);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});

test('--phone-link prints a link of any size the program takes, whole, and says truly why there is none', async (t) => {
  // A server that answers /api/setup with what the test last wrote.
  const s = await h.session({ t, server: `const fs = require('node:fs');
    require('node:http').createServer((req, res) => res.end(req.url === '/health'
      ? JSON.stringify({ version: '1', midiReady: true, midiPort: 'test', pairedClients: 0 })
      : fs.readFileSync(process.env.TOVRA_TEST_SETUP))).listen(process.env.PORT);` });
  const setup = path.join(s.root, 'setup.json');
  const app = s.start({ TOVRA_TEST_SETUP: setup });
  await s.ready(app);
  for (const length of [70000, 1000000]) { // over 64 KiB, and what a body of 1 MiB holds
    const link = `http://192.0.2.1:4173/controller?token=${'t'.repeat(length)}`;
    fs.writeFileSync(setup, JSON.stringify({ phoneURL: link }));
    const printed = await s.run('--phone-link');
    assert.deepEqual([printed.code, printed.err, printed.out.length], [0, '', link.length + 1], `${length}`);
    assert.ok(printed.out === `${link}\n`, `${length}: not the link`);
  }
  // A link it refuses, by its true reason (every reason: the delegate's unit tests).
  fs.writeFileSync(setup, JSON.stringify({ phoneURL: 'javascript:alert(1)' }));
  assert.deepEqual(await s.run('--phone-link'), { code: 1, signal: null, out: '',
    err: 'tovra-bridge: no phone link: the bridge\u2019s link is not a web address Tovra opens\n' });
});

test('the socket is made where its path is too long for a socket address, and where something else stood, which is moved aside', async (t) => {
  const s = await h.session({ server: 'built', t });
  const long = path.join(s.root, 'r'.repeat(60), 'u'.repeat(60));
  fs.mkdirSync(long, { recursive: true, mode: 0o700 });
  fs.mkdirSync(`${s.root}/run/tovra-bridge.control`);
  fs.writeFileSync(`${s.root}/run/tovra-bridge.control/kept`, 'kept');
  for (const runtime of [long, `${s.root}/run`]) {
    const app = s.start({ XDG_RUNTIME_DIR: runtime });
    await ready(s, app);
    assert.ok(fs.lstatSync(`${runtime}/tovra-bridge.control`).isSocket(), runtime);
    // The first place's socket gone, the runtime folder's is the one the options reach.
    fs.rmSync(`${s.places}/tovra-bridge.control`);
    assert.deepEqual(await s.run({ XDG_RUNTIME_DIR: runtime }, '--status'), { code: 0, signal: null, out: s.seen, err: '' });
    assert.equal((await s.run({ XDG_RUNTIME_DIR: runtime }, '--quit')).code, 0);
    assert.deepEqual(await app.exited, { code: 0, signal: null });
  }
  const aside = fs.readdirSync(`${s.root}/run`).filter((name) => name.startsWith('tovra-bridge.control.'));
  assert.deepEqual(aside.map((name) => h.read(`${s.root}/run/${name}/kept`)), ['kept']);
});

test('a display that queues connections and never takes one: the options hear it is starting, and SIGTERM ends the wait at once', async (t) => {
  const s = await h.session({ server: 'built', t });
  const socket = `/tmp/.X11-unix/X${freeDisplay(250)}`;
  t.after(() => fs.rmSync(socket, { force: true }));
  const listener = neverAccepting(s, socket);
  await h.waitFor('the display socket', () => listener.out.includes('listening'));
  const app = s.start({ DISPLAY: `:${socket.slice(socket.lastIndexOf('X') + 1)}` });
  await h.waitFor('a connection in its queue', () => listener.out.includes('queued'));
  // Held while it waits: not "not running", and the request waits in the queue.
  assert.deepEqual(await s.run('--status'), { code: 1, signal: null, out: '', err: SILENT });
  process.kill(app.pid, 'SIGTERM');
  const sent = Date.now();
  assert.ok(await h.endsWithin(app, 1000), `SIGTERM took ${Date.now() - sent} ms and more`);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  assert.deepEqual(s.banners(), [], 'a bridge started');
});

test('a display that queues connections and never takes one: after 30 s the program supervises its bridge without it', async (t) => {
  const { s, socket, app, begun } = await queued;
  t.after(async () => { await s.cleanup(); fs.rmSync(socket, { force: true }); });
  await h.waitFor('its server', () => s.servers(app)[0], 40000);
  const started = Date.parse(s.banners()[0]);
  assert.ok(started - begun > 29000 && started - begun < 34000, `the bridge started ${started - begun} ms after the program`);
  assert.equal(app.output.split('\n')[0], `tovra.platform: no display: DISPLAY ${app.env.DISPLAY} took no clients within 30 s; running without a display, so without a tray`);
  assert.deepEqual(await s.run('--status'), { code: 0, signal: null, out: 'Starting bridge\u2026\n', err: '' });
});
