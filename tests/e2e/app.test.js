'use strict';
// The built application without a desktop: its launch contract, its one instance, the command line,
// the data's move, signals and the log, observed from outside.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib');

test('an ordinary run: launch contract, setup page once, login entry, one instance, SIGTERM', async (t) => {
  const s = await h.session({ t });
  const app = s.start({ TOVRA_MARK: 'kept = as is', PORT: '9999' });
  const server = await s.server(app);
  await h.waitFor('the setup page', () => s.opened().length);
  // Exactly its own environment plus the three: nothing Qt chose for itself.
  assert.deepEqual(h.environ(server), { ...app.env, PORT: '4173', TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: s.dataDir });
  // The runtime's file keeps its name; the process is listed as what it is.
  assert.deepEqual(h.cmdline(server), ['node', path.join(s.share, 'app/server.js')]);
  assert.equal(h.comm(server), 'node-arm64');
  assert.equal(fs.readlinkSync(`/proc/${server}/cwd`), path.join(s.share, 'app'));
  // Its output on the log, stdin the app's own; none of the app's other descriptors, fd 3 included.
  const fds = h.fds(server);
  assert.deepEqual([fds[1], fds[2]], [s.logFile, s.logFile]);
  const appOwn = new Set(Object.entries(h.fds(app.pid)).filter(([fd, to]) => fd !== '0' && to !== s.logFile && !to.startsWith('anon'))
    .map(([, to]) => to));
  assert.deepEqual(Object.entries(fds).filter(([, to]) => appOwn.has(to)), []);
  assert.match(s.log(), /^\n--- Tovra started \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ---\n(.* MIDI output .*\n)*.* listening on /);
  assert.equal(fs.statSync(s.logFile).mode & 0o777, 0o600);
  assert.match(h.read(s.settings), /^TovraDidOpenSetupV1=true$/m);
  assert.deepEqual(h.read(s.autostart).match(/^(Try)?Exec=.*$/gm).sort(), [`Exec=${s.binary} --login`, `TryExec=${s.binary}`]);
  assert.match(h.read(s.autostart), /^Name=Tovra Bridge$/m); // the name the program has on the desktop
  assert.equal(spawnSync('desktop-file-validate', [s.autostart]).status, 0);

  // A second start leaves at once, having touched nothing. (The window it brings up asks for the
  // link, whose token the bridge makes and keeps the first time: so it is made before.)
  assert.match((await s.run('--phone-link')).out, /token=/);
  const snapshot = () => [s.logFile, s.settings, s.autostart, ...fs.readdirSync(s.dataDir).map((f) => path.join(s.dataDir, f))]
    .map((file) => `${file}: ${h.read(file)}`);
  const before = snapshot();
  const second = s.start();
  const begun = Date.now();
  assert.deepEqual(await second.exited, { code: 0, signal: null });
  assert.ok(Date.now() - begun < 500, `the second start took ${Date.now() - begun} ms`);
  assert.deepEqual(snapshot(), before);

  process.kill(app.pid, 'SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server to end', () => !h.alive(server));
  assert.equal(s.log().match(/Received SIGTERM/g).length, 1);
  assert.equal(app.output, '', 'the app printed something');
  assert.deepEqual(s.opened(), ['http://localhost:4173/setup'], 'the setup page opened again in this run');
});

// What each option prints is the command line's unit tests; here, that none starts or touches anything.
test('the options without an instance touch nothing: help, version, misuse, and not running for the rest', async (t) => {
  const s = await h.session({ t });
  const tree = () => fs.readdirSync(s.root, { recursive: true }).sort();
  const before = tree();
  assert.deepEqual([(await s.run('--help')).code, (await s.run('--bogus')).code], [0, 2]);
  assert.deepEqual(await s.run('--version'), { code: 0, signal: null, out: `tovra-bridge ${h.VERSION}\n`, err: '' });
  for (const option of ['--status', '--phone-link', '--quit']) {
    assert.deepEqual(await s.run(option), { code: 3, signal: null, out: '', err: 'tovra-bridge: Tovra Bridge is not running\n' });
  }
  assert.deepEqual(tree(), before, 'an option touched something');
});

test('a move of the data across file systems is all or nothing: killed, out of room or interrupted, nothing is lost', async (t) => {
  const s = await h.session({ server: 'built', t });
  const earlier = path.join(s.home, 'Library/Application Support/Tovra Automation');
  const token = 'k'.repeat(43);
  const pairing = `{"token":"${token}"}\n`;
  fs.mkdirSync(earlier, { recursive: true });
  fs.writeFileSync(`${earlier}/pairing.json`, pairing);
  for (let i = 0; i < 600; i++) fs.writeFileSync(`${earlier}/f${i}`, Buffer.alloc(64 * 1024, i % 256));
  const whole = (folder) => fs.existsSync(folder) && fs.readdirSync(folder).length === 601 && h.read(`${folder}/pairing.json`) === pairing;
  // The bridge runs on the data in `folder`: its token is the earlier one.
  const runsOn = async (app, folder) => {
    await s.ready(app);
    assert.equal(h.environ(await s.server(app)).TOVRA_DATA_DIR, folder);
    assert.match(JSON.parse((await h.waitFor('the phone link', () => h.get('/api/setup'))).body).phoneURL, new RegExp(`token=${token}$`));
  };

  // No room on the target: the bridge runs on the data where it is, and the program says why.
  const small = fs.mkdtempSync(path.join(s.root, 'small-'));
  const cramped = s.spawn('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs -o size=1m tovra-test "$0" && exec "$1"', small, s.binary],
    { XDG_DATA_HOME: small });
  await runsOn(cramped, earlier);
  assert.match(cramped.err, /cannot move .*Tovra Automation.*: No space left on device/);
  assert.deepEqual(fs.readdirSync(`/proc/${cramped.pid}/root${small}`), [], 'something was left on the target');
  process.kill(cramped.pid, 'SIGTERM');
  assert.deepEqual(await cramped.exited, { code: 0, signal: null });
  assert.ok(whole(earlier));

  // Killed while it copies: the target is never there in part, and the next start finishes the move.
  const data = fs.mkdtempSync('/dev/shm/tovra-e2e-'); // another file system
  t.after(() => fs.rmSync(data, { recursive: true, force: true }));
  const target = path.join(data, 'Tovra Automation');
  const copying = new Promise((resolve) => { const watcher = fs.watch(data, () => { watcher.close(); resolve(); }); });
  const moving = s.start({ XDG_DATA_HOME: data });
  await copying;
  process.kill(moving.pid, 'SIGKILL');
  assert.equal((await moving.exited).signal, 'SIGKILL');
  assert.ok(!fs.existsSync(target) || whole(target), 'the target was there in part');
  assert.ok(whole(earlier) || whole(target), 'the data is whole in neither place');

  await runsOn(s.start({ XDG_DATA_HOME: data }), target);
  assert.ok(whole(target));
  assert.deepEqual(fs.readdirSync(data), ['Tovra Automation'], 'an interrupted copy was left');
  assert.ok(!fs.existsSync(earlier));
});

test('signals end it with 0: SIGINT, SIGHUP, SIGTERM as it starts or while blocked; nohup holds', async (t) => {
  const s = await h.session({ server: 'built', t });
  const nohup = ['/bin/sh', '-c', "trap '' HUP; exec \"$0\""];
  const blocked = ['perl', '-MPOSIX', '-e', 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); exec @ARGV'];
  for (const [label, wrapper, signal] of [['SIGINT', [], 'SIGINT'], ['SIGHUP', [], 'SIGHUP'], ['early', [], 'SIGTERM'],
    ['nohup', nohup, 'SIGTERM'], ['blocked', blocked, 'SIGTERM']]) {
    const app = wrapper.length ? s.spawn(wrapper[0], [...wrapper.slice(1), s.binary]) : s.start();
    const server = label !== 'early' && await s.ready(app);
    if (label === 'nohup') {
      process.kill(app.pid, 'SIGHUP');
      // It answers after the SIGHUP it ignores: a handler for it would have ended it first.
      assert.equal((await s.run('--status')).code, 0, 'SIGHUP under nohup ended it');
    }
    const holds = () => /^Sig(Blk|Cgt):\s+\w*[4-7cdef]\w{3}$/m.test(h.read(`/proc/${app.pid}/status`)); // SIGTERM
    for (const end = Date.now() + 5000; label === 'early' && !holds() && Date.now() < end;); // before start-up does anything
    assert.ok(label !== 'early' || holds(), 'SIGTERM never held nor caught');
    process.kill(app.pid, signal);
    assert.deepEqual(await app.exited, { code: 0, signal: null }, `${label}: ${app.output}`);
    if (server) await h.waitFor(`its server to end (${label})`, () => !h.alive(server));
  }
  // One launch for each start but the early one, which was ended before anything started.
  assert.deepEqual([s.banners().length, s.log().match(/Received SIGTERM/g).length], [4, 4], s.log());
});

test('the log: appended by two writers, emptied by a rotator, never NUL; a FIFO does not freeze it', async (t) => {
  const s = await h.session({ server: "let n = 0; setInterval(() => console.log(`server ${n++}`), 5);\n", t });
  const app = s.start();
  await h.waitFor('server lines', () => /server 20\n/.test(s.log()));
  for (let i = 0; i < 50; i++) fs.appendFileSync(s.logFile, `other ${i}\n`);
  fs.truncateSync(s.logFile, 0);
  await h.waitFor('more lines', () => /server \d+\n[^]*server \d+\n/.test(s.log()));
  assert.ok(!s.log().includes('\0'), 'NUL bytes in the log');
  process.kill(app.pid, 'SIGKILL');
  await app.exited;

  fs.rmSync(s.logFile);
  spawnSync('mkfifo', [s.logFile]);
  const again = s.start();
  await s.server(again);
  process.kill(again.pid, 'SIGTERM');
  assert.deepEqual(await again.exited, { code: 0, signal: null });
});
