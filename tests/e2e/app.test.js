'use strict';
// The built application without a desktop: its launch contract, its one instance, the relaunch,
// signals, the log and a squatter on the port, observed from outside.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib');

const snapshot = (s) => [s.logFile, s.settings, s.autostart, ...fs.readdirSync(s.dataDir).map((f) => path.join(s.dataDir, f))]
  .map((file) => `${file}: ${h.read(file)}`);

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
  await h.sleep(2200);
  assert.deepEqual(s.opened(), ['http://localhost:4173/setup']);

  // A second start leaves at once, having touched nothing. (The window it brings up asks for the
  // link, whose token the bridge makes and keeps the first time: so it is made before.)
  assert.match((await s.run('--phone-link')).out, /token=/);
  const before = snapshot(s);
  const second = s.start();
  const begun = Date.now();
  assert.deepEqual(await second.exited, { code: 0, signal: null });
  assert.ok(Date.now() - begun < 500, `the second start took ${Date.now() - begun} ms`);
  assert.deepEqual(snapshot(s), before);

  process.kill(app.pid, 'SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server to end', () => !h.alive(server));
  assert.equal(s.log().match(/Received SIGTERM/g).length, 1);
  assert.equal(app.output, '', 'the app printed something');
});

test('the command line: help, version and misuse touch nothing; status, phone link and quit reach the running instance', async (t) => {
  const s = await h.session({ t });
  const tree = () => fs.readdirSync(s.root, { recursive: true }).sort();
  const before = tree();
  const help = await s.run('--help');
  assert.deepEqual([help.code, help.err], [0, '']);
  assert.match(help.out, /^Usage: tovra-bridge \[OPTION\]\n[^]*--status[^]*--phone-link[^]*--quit[^]*Exit status/);
  const version = /project\(TovraBridge VERSION (\S+)/.exec(h.read(`${__dirname}/../../CMakeLists.txt`))[1];
  for (const option of ['-v', '--version']) {
    assert.deepEqual(await s.run(option), { code: 0, signal: null, out: `tovra-bridge ${version}\n`, err: '' });
  }
  // A misuse names what it did not understand, then the usage line.
  for (const [args, named] of [[['--bogus'], 'unknown option \u2018--bogus\u2019'],
    [['--status', '--quit'], 'one option at a time, not also \u2018--quit\u2019'],
    [['-platform', 'xcb'], 'unknown option \u2018-platform\u2019'], [['-h', '-v'], 'one option at a time, not also \u2018-v\u2019']]) {
    const misuse = await s.run(...args);
    assert.deepEqual([misuse.code, misuse.out], [2, ''], args.join(' '));
    assert.equal(misuse.err.split('\n')[0], `tovra-bridge: ${named}`);
    assert.match(misuse.err.split('\n').slice(1).join('\n'), /^Usage: tovra-bridge [^\n]*\n$/);
  }
  for (const option of ['--status', '--phone-link', '--quit']) {
    assert.deepEqual(await s.run(option), { code: 3, signal: null, out: '', err: 'tovra-bridge: Tovra Bridge is not running\n' });
  }
  assert.deepEqual(tree(), before, 'an option touched something');

  const app = s.start((await s.jack()).env); // a JACK server for the bridge's MIDI output: ready
  const server = await s.ready(app);
  await h.waitFor('the status line', async () => (await s.run('--status')).out === 'Ready \u00B7 0 phones\n');
  assert.equal((await s.run('--status', '--quit')).code, 2, 'misused while it runs');
  const link = await s.run('--phone-link');
  assert.equal(link.code, 0);
  assert.match(link.out, /^http:\/\/\S+:4173\/controller\?token=\S+\n$/);
  assert.deepEqual(await s.run('--quit'), { code: 0, signal: null, out: '',
    err: 'tovra-bridge: the bridge server was still running: it was asked to stop, and whatever is left of it is ended within 5 s\n' });
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server to end', () => !h.alive(server));
  assert.equal((await s.run('--status')).code, 3);
  assert.doesNotMatch(app.output, /token/);
});

test('what an earlier version kept under ~/Library moves in once, across file systems too, overwriting nothing', async (t) => {
  const s = await h.session({ t });
  const library = path.join(s.home, 'Library');
  const put = (file, text) => { fs.mkdirSync(path.dirname(file), { recursive: true }); fs.writeFileSync(file, text); };
  put(`${library}/Logs/Tovra Bridge.log`, 'earlier log\n');
  put(`${library}/Logs/Tovra Bridge.log.1`, 'older log\n');
  put(`${library}/Application Support/Tovra Automation/pairing.json`, '{"paired":true}');
  put(`${library}/Application Support/Other/kept`, '');
  const data = fs.mkdtempSync('/dev/shm/tovra-e2e-'); // another file system
  t.after(() => fs.rmSync(data, { recursive: true, force: true }));
  const app = s.start({ XDG_DATA_HOME: data });
  const server = await s.ready(app);
  assert.equal(h.environ(server).TOVRA_DATA_DIR, `${data}/Tovra Automation`);
  assert.equal(h.read(`${data}/Tovra Automation/pairing.json`), '{"paired":true}');
  assert.match(s.log(), /^earlier log\n\n--- Tovra started /);
  assert.equal(h.read(`${s.logFile}.1`), 'older log\n');
  assert.deepEqual(fs.readdirSync(library, { recursive: true }).sort(), ['Application Support', 'Application Support/Other',
    'Application Support/Other/kept']);
  process.kill(app.pid, 'SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });

  // A state folder that cannot be made: the bridge runs all the same, and the output says why.
  fs.writeFileSync(`${s.root}/state`, '');
  const stateless = s.start({ XDG_DATA_HOME: data, XDG_STATE_HOME: `${s.root}/state` });
  await s.ready(stateless);
  process.kill(stateless.pid, 'SIGTERM');
  assert.deepEqual(await stateless.exited, { code: 0, signal: null });
  assert.match(stateless.output, /state\/Tovra/);
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
  const phoneLink = async () => JSON.parse((await h.waitFor('the phone link', () => h.get('/api/setup'))).body).phoneURL;

  // No room on the target: the bridge runs on the data where it is, and the program says why.
  const small = fs.mkdtempSync(path.join(s.root, 'small-'));
  const cramped = s.spawn('unshare', ['-m', 'sh', '-c', 'mount -t tmpfs -o size=1m tovra-test "$0" && exec "$1"', small, s.binary],
    { XDG_DATA_HOME: small });
  await s.ready(cramped);
  assert.equal(h.environ(await s.server(cramped)).TOVRA_DATA_DIR, earlier);
  assert.match(await phoneLink(), new RegExp(`token=${token}$`));
  assert.match(cramped.err, /cannot move .*Tovra Automation.*: No space left on device/);
  assert.deepEqual(fs.readdirSync(`/proc/${cramped.pid}/root${small}`), [], 'something was left on the target');
  process.kill(cramped.pid, 'SIGTERM');
  assert.deepEqual(await cramped.exited, { code: 0, signal: null });
  assert.ok(whole(earlier));

  // Killed while it copies: the target is never there in part, and the next start finishes the move.
  const data = fs.mkdtempSync('/dev/shm/tovra-e2e-'); // another file system
  t.after(() => fs.rmSync(data, { recursive: true, force: true }));
  const target = path.join(data, 'Tovra Automation');
  let killed;
  const copying = new Promise((resolve) => { const watcher = fs.watch(data, () => { watcher.close(); resolve(); }); });
  const moving = s.start({ XDG_DATA_HOME: data });
  await copying;
  process.kill(moving.pid, 'SIGKILL');
  killed = await moving.exited;
  assert.equal(killed.signal, 'SIGKILL');
  assert.ok(!fs.existsSync(target) || whole(target), 'the target was there in part');
  assert.ok(whole(earlier) || whole(target), 'the data is whole in neither place');

  const app = s.start({ XDG_DATA_HOME: data });
  await s.ready(app);
  assert.equal(h.environ(await s.server(app)).TOVRA_DATA_DIR, target);
  assert.match(await phoneLink(), new RegExp(`token=${token}$`));
  assert.ok(whole(target));
  assert.deepEqual(fs.readdirSync(data), ['Tovra Automation'], 'an interrupted copy was left');
  assert.ok(!fs.existsSync(earlier));
});

test('a server that exits at once is relaunched every 2 s, one at a time, never a zombie', async (t) => {
  // Node sets its own signal state, so the runtime reads what it was handed first.
  const runtime = path.join(require('node:os').tmpdir(), `tovra-runtime-${process.pid}`);
  fs.writeFileSync(runtime, `#!/bin/sh\ngrep -E '^Sig(Blk|Ign)' /proc/self/status\nexec '${process.execPath}' "$@"\n`, { mode: 0o755 });
  const s = await h.session({ server: "console.log('exiting'); process.exit(3);\n", runtime });
  t.after(async () => { await s.cleanup(); fs.rmSync(runtime); });
  const app = s.start();
  let most = 0;
  await h.waitFor('three launches', () => {
    most = Math.max(most, s.servers(app).length);
    return s.banners().length >= 3;
  }, 8000);
  assert.equal(most, 1);
  assert.match(s.log(), /(--- Tovra started \S+ ---\nSigBlk:\s+0{16}\nSigIgn:\s+0{16}\nexiting\n\n){2}/);
  const [a, b] = s.banners().map(Date.parse);
  assert.ok(b - a >= 2000, `${b - a} ms between launches`);
  await h.waitFor('no zombie child', () => !h.processes().some((p) => p.ppid === app.pid && p.state === 'Z'));
});

test('signals end it with 0: SIGINT, SIGHUP, SIGTERM as it starts or while blocked; nohup holds; killed, its guard acts', async (t) => {
  const s = await h.session({ server: 'built', t });
  const nohup = ['/bin/sh', '-c', "trap '' HUP; exec \"$0\""];
  const blocked = ['perl', '-MPOSIX', '-e', 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); exec @ARGV'];
  for (const [label, wrapper, signal] of [['SIGINT', [], 'SIGINT'], ['SIGHUP', [], 'SIGHUP'], ['early', [], 'SIGTERM'],
    ['nohup', nohup, 'SIGTERM'], ['blocked', blocked, 'SIGTERM']]) {
    const app = wrapper.length ? s.spawn(wrapper[0], [...wrapper.slice(1), s.binary]) : s.start();
    const server = label !== 'early' && await s.ready(app);
    if (label === 'nohup') {
      process.kill(app.pid, 'SIGHUP');
      await h.sleep(300);
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
  // Killed, as `killall -9 tovra-bridge` would in this session, it takes its server along through
  // its guard, which has a name of its own and so survives.
  const app = s.start();
  const server = await s.ready(app);
  await h.waitFor('the guard', () => h.processes().some((p) => h.comm(p.pid) === 'tovra-guard'));
  spawnSync('pkill', ['-9', '-x', '-s', String(app.pid), 'tovra-bridge']);
  await h.waitFor('the orphaned server to end', () => !h.alive(server));
  assert.equal(s.log().match(/Received SIGTERM/g).length, 5);
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

test('a squatter on the port is never believed, never even asked; ours takes over once it is free', async (t) => {
  const s = await h.session({ server: 'built' });
  let asked = 0;
  const squatter = require('node:http').createServer((req, res) => {
    asked++;
    res.end(JSON.stringify({ version: '6', midiReady: true, midiPort: 'x', pairedClients: 7, phoneURL: 'http://evil/' }));
  });
  // Takes the port as soon as the kernel lets it.
  const squat = (host) => h.waitFor(`the port on ${host}`, () => new Promise((resolve) => {
    squatter.once('error', () => resolve(false)).listen(h.PORT, host, () => resolve(true));
  }));
  t.after(async () => { squatter.close(); await s.cleanup(); });
  await squat('::1'); // before the start, on ::1 only
  const app = s.start();
  await h.waitFor('two launches of ours that failed', () => s.banners().length >= 2);
  assert.deepEqual([asked, s.opened()], [0, []]);
  squatter.close();
  const first = await s.ready(app);
  await h.waitFor('the setup page', () => s.opened().length);
  process.kill(first, 'SIGKILL');
  await squat('127.0.0.1'); // in the relaunch gap
  await h.waitFor('a relaunch that failed', () => s.banners().length >= 4, 8000);
  assert.equal(asked, 0);
  squatter.close();
  await s.ready(app);
  assert.equal(asked, 0);
});
