'use strict';
// Supervision of the server: relaunch after any exit, one child at a time, and the quit paths.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const h = require('./lib/harness');

// Node resets its signal state when it starts, so the runtime records what it was handed first.
const recordingRuntime = `#!/bin/sh
while read -r key value; do
  case "$key" in SigBlk:|SigIgn:) echo "$key $value" >> "$0.signals";; esac
done < /proc/$$/status
exec '${process.execPath}' "$@"
`;

test('a server that exits at once is relaunched again and again, one child at a time', async (t) => {
  const s = await h.session({ server: "console.log('exiting at once'); process.exit(3);\n", runtime: recordingRuntime });
  t.after(() => s.cleanup());
  const app = s.start({}, { ignored: ['USR2'] });
  const signalsFile = path.join(s.share, 'runtime', 'node-arm64.signals');
  let most = 0;
  const zombies = new Set();
  await h.waitFor('three launches', () => {
    const children = s.children(app);
    // Servers only: the app briefly forks itself to set up a child's guard process, and a
    // process on its way out has an empty command line.
    const servers = children.filter((c) => c.state !== 'Z' && ![undefined, s.binary].includes(h.cmdline(c.pid)[0]));
    most = Math.max(most, servers.length);
    for (const child of children) if (child.state === 'Z') zombies.add(child.pid);
    return s.banners().length >= 3 && h.readOr(signalsFile).split('\n').length > 6;
  }, { timeout: 20000, interval: 10 });
  assert.equal(most, 1, `${most} servers at once`);
  assert.match(s.log(), /(--- Tovra started \S+ ---\nexiting at once\n\n){2}--- Tovra started/);
  await h.waitFor('every exited child to be reaped', () => [...zombies].every((pid) => !h.stat(pid)));
  assert.equal(app.exitCode, null, `the app exited:\n${app.output}`);
  // Each launch, the first and the relaunches alike: no signal blocked, none ignored.
  const signals = h.readOr(signalsFile).split('\n').filter(Boolean);
  assert.deepEqual(signals.filter((line) => !/^Sig(Blk|Ign): 0{16}$/.test(line)), [], 'inherited signal state');
});

test('kill -9 of the server: a new child and a new banner follow', async (t) => {
  const s = await h.session({ server: h.STANDIN });
  t.after(() => s.cleanup());
  const app = s.start();
  await h.waitFor('the listening line', () => /listening on/.test(s.log()));
  const first = await s.liveChild(app);
  const killedAt = Date.now();
  process.kill(first.pid, 'SIGKILL');
  const second = await h.waitFor('a new server child', () => s.children(app).find((c) => c.pid !== first.pid
    && c.state !== 'Z'), { timeout: 10000, interval: 10 });
  console.log(`new server child ${Date.now() - killedAt} ms after kill -9`);
  assert.equal(s.banners().length, 2);
  await h.waitFor('the new server to answer', () => h.get(`http://localhost:${h.PORT}/health`));
  assert.deepEqual(s.children(app).map((c) => c.pid), [second.pid]);
});

test('SIGINT and SIGHUP end the app with 0 after one SIGTERM to the server', async (t) => {
  const s = await h.session({ server: h.STANDIN });
  t.after(() => s.cleanup());
  for (const [round, signal] of [[1, 'SIGINT'], [2, 'SIGHUP']]) {
    const app = s.start();
    await h.waitFor(`listening line ${round}`, () => s.log().split('listening on').length > round);
    const server = await s.liveChild(app);
    process.kill(app.pid, signal);
    assert.deepEqual(await s.exitOf(app, `the app to exit on ${signal}`), { code: 0, signal: null });
    await h.waitFor(`the server to exit after ${signal}`, () => !h.alive(server.pid));
    assert.equal(s.log().match(/Received SIGTERM, shutting down/g)?.length, round, s.log());
  }
});

test('a server ignoring SIGTERM is left running when the app exits', async (t) => {
  const s = await h.session({
    server: "process.on('SIGTERM', () => console.log('ignoring SIGTERM'));\n" +
      "console.log('stubborn server up');\nsetInterval(() => {}, 60000);\n",
  });
  t.after(() => s.cleanup());
  const app = s.start();
  await h.waitFor('the stubborn server', () => /stubborn server up/.test(s.log()));
  const server = await s.liveChild(app);
  process.kill(app.pid, 'SIGTERM');
  assert.deepEqual(await s.exitOf(app), { code: 0, signal: null });
  await h.waitFor('the server to get SIGTERM', () => /ignoring SIGTERM/.test(s.log()));
  await h.sleep(2000);
  assert.ok(h.alive(server.pid), 'the server was stopped by other means');
  assert.equal(s.log().match(/ignoring SIGTERM/g).length, 1, `more than one SIGTERM:\n${s.log()}`);
  process.kill(server.pid, 'SIGKILL');
});

test('an app killed with SIGKILL takes its server with it: one SIGTERM, the port freed', async (t) => {
  const s = await h.session({
    server: "const http = require('node:http');\n" +
      "const server = http.createServer((q, r) => r.end('{}')).listen(Number(process.env.PORT), '127.0.0.1');\n" +
      "process.on('SIGTERM', () => { console.log('got SIGTERM'); server.close(); setTimeout(() => process.exit(0), 300); });\n" +
      "console.log('up');\n",
  });
  t.after(() => s.cleanup());
  const app = s.start();
  await h.waitFor('the server', () => /\nup\n/.test(s.log()));
  const server = await s.liveChild(app);
  process.kill(app.pid, 'SIGKILL');
  await s.exitOf(app);
  await h.waitFor('the orphaned server to exit', () => !h.alive(server.pid));
  assert.equal(s.log().match(/got SIGTERM/g)?.length, 1, s.log());
});
