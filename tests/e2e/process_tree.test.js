'use strict';
// What a server starts and what outlives it: a server that ignores SIGTERM, one that daemonizes, a
// fork bomb in its group, the app killed; and a process of the user's that only looks like ours.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./lib');

const HEALTH = JSON.stringify({ version: '1', midiReady: true, midiPort: 'x', pairedClients: 0 });
// Answers /health and ignores SIGTERM, as a server whose loop is wedged would.
const STUBBORN = `process.on('SIGTERM', () => console.log('SIGTERM ignored'));
require('node:http').createServer((q, r) => r.end('${HEALTH}')).listen(${h.PORT});\n`;
const portFree = async () => !(await h.portTaken('127.0.0.1')) && !(await h.portTaken('::1'));

test('a server that ignores SIGTERM: --quit says so and its tree is gone 5 s on, the port free', async (t) => {
  const s = await h.session({ t, server: STUBBORN });
  const app = s.start();
  const server = await s.ready(app);
  const [guard] = s.guards(app);
  const asked = Date.now();
  assert.deepEqual(await s.run('--quit'), { code: 0, signal: null, out: '', err: h.STILL_RUNNING });
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server and its guard to end, the port free',
    async () => !h.alive(server) && !h.alive(guard) && await portFree(), 15000);
  assert.ok(Date.now() - asked >= 5000, `ended ${Date.now() - asked} ms after --quit: not by the SIGKILL`);
  assert.match(s.log(), /SIGTERM ignored/);
  assert.equal((await s.run('--quit')).code, 3);
});

test('a server that ignores SIGTERM: Restart Bridge kills it 5 s on and one new server answers; the app killed, its guard kills the next', async (t) => {
  const s = await h.session({ t, server: STUBBORN });
  await s.desktop();
  const host = s.host('watcher');
  const app = s.start();
  await host.event('registered');
  const first = await s.ready(app);
  host.click('Restart Bridge');
  const clicked = Date.now();
  await h.waitFor('the first server to be killed', () => !h.alive(first), 15000);
  assert.ok(Date.now() - clicked >= 5000, `killed ${Date.now() - clicked} ms after the click`);
  const second = await h.waitFor('one new server that answers', async () => {
    const servers = s.servers(app);
    return servers.length === 1 && servers[0] !== first && (await h.get('/health'))?.status === 200 && servers[0];
  }, 15000);
  assert.deepEqual(s.servers(app), [second]);

  const [guard] = s.guards(app);
  process.kill(app.pid, 'SIGKILL');
  await h.waitFor('the orphaned server to be killed, the port free',
    async () => !h.alive(second) && !h.alive(guard) && await portFree(), 15000);
});

test('a server that daemonizes: the daemon is ended when the server exits, and nothing of it outlives Quit', async (t) => {
  // The server starts a daemon in a session of its own that holds the port and ignores SIGTERM, and
  // exits as soon as the daemon listens.
  const s = await h.session({ t, server: `const { spawn } = require('node:child_process');
    if (process.argv[2] === 'daemon') {
      process.on('SIGTERM', () => {});
      require('node:http').createServer((q, r) => r.end('{}')).on('error', () => process.exit(1))
        .listen(${h.PORT}, () => console.log('listening'));
    } else {
      const daemon = spawn(process.execPath, [__filename, 'daemon'], { detached: true, stdio: ['ignore', 'pipe', 'ignore'] });
      daemon.stdout.once('data', () => process.exit(0));
      daemon.on('exit', () => process.exit(1));
    }\n` });
  const daemons = () => h.processes().filter((p) => h.cmdline(p.pid).at(-1) === 'daemon' && h.alive(p.pid)
    && h.environ(p.pid).TOVRA_DATA_DIR === s.dataDir);
  t.after(() => { for (const d of daemons()) try { process.kill(d.pid, 'SIGKILL'); } catch {} });
  const app = s.start();
  const daemon = await h.waitFor('a daemon that holds the port, its server gone', async () => {
    const [d] = daemons();
    return d && await h.portTaken('127.0.0.1') && s.guards(app).includes(h.stat(d.pid)?.ppid) && d;
  });
  assert.equal(h.stat(daemon.pid).pgrp, daemon.pid, 'in a group of its own');
  await h.waitFor('the daemon to be ended while the app runs', () => !h.alive(daemon.pid), 15000);
  assert.ok(h.alive(app.pid));

  await h.waitFor('another daemon', () => daemons().length > 0, 15000);
  assert.equal((await s.run('--quit')).code, 0);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('no daemon, the port free', async () => !daemons().length && await portFree(), 15000);
});

test('a fork bomb of over a hundred processes in the server\'s group, all ignoring SIGTERM: none left after Quit', async (t) => {
  // A binary tree of shells 6 deep: 127 processes besides the server.
  const bomb = "trap '' TERM; b() { if [ $1 -gt 0 ]; then b $(($1 - 1)) & b $(($1 - 1)) & fi; exec sleep 1000; }; b 6";
  const s = await h.session({ t, server: `require('node:child_process').spawn('/bin/sh', ['-c', ${JSON.stringify(bomb)}], { stdio: 'ignore' });
    process.on('SIGTERM', () => {}); setInterval(() => {}, 1e6);\n` });
  const app = s.start();
  const server = await s.server(app);
  const group = () => h.processes().filter((p) => p.pgrp === server && p.state !== 'Z');
  t.after(() => { try { process.kill(-server, 'SIGKILL'); } catch {} });
  await h.waitFor('the bomb', () => group().length >= 128, 15000);
  assert.equal((await s.run('--quit')).code, 0);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('none of the group left', () => group().length === 0, 15000);
});

test('a process started by hand with the server\'s three variables is not ours: --quit leaves it be', async (t) => {
  const s = await h.session({ t, server: 'built' });
  const app = s.start();
  const server = await s.ready(app);
  const [guard] = s.guards(app);
  // In a session of its own, as setsid starts it.
  const bystander = s.spawn('sleep', ['1000'], { TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: s.dataDir, PORT: String(h.PORT) });
  await h.waitFor('the bystander', () => h.cmdline(bystander.pid)[0] === 'sleep' && h.environ(bystander.pid).PORT === String(h.PORT));
  assert.equal(h.stat(bystander.pid).pgrp, bystander.pid);
  assert.equal((await s.run('--quit')).code, 0);
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  await h.waitFor('the server and its guard to end', () => !h.alive(server) && !h.alive(guard));
  assert.ok(h.alive(bystander.pid), 'the bystander was ended');
});
