'use strict';
// The ordinary run of the built tree with the real stand-in server, observed from outside.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib/harness');

describe('ordinary run', () => {
  let s, app, server;
  const inherited = { TZ: 'TVR-5:30', TOVRA_E2E_MARK: 'kept = as is', PORT: '9999' };
  before(async () => { s = await h.session(); });
  after(() => s && s.cleanup());

  test('launches the server with its arguments, directory, environment and log', async () => {
    const startedAt = Math.floor(Date.now() / 1000) * 1000;
    app = s.start(inherited);
    await h.waitFor('the server to answer /health', () => h.get(`http://localhost:${h.PORT}/health`));
    server = await s.liveChild(app);
    assert.equal(s.children(app).length, 1);
    const share = path.join(h.BUILD_DIR, 'share', 'tovra-bridge');
    assert.deepEqual(h.cmdline(server.pid), [path.join(share, 'runtime/node-arm64'), path.join(share, 'app/server.js')]);
    assert.equal(fs.readlinkSync(`/proc/${server.pid}/cwd`), path.join(share, 'app'));
    assert.deepEqual(h.environ(server.pid),
      { ...app.env, PORT: '4173', TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: s.dataDir });

    const log = await h.waitFor('the listening line', () => /listening on/.test(s.log()) && s.log());
    assert.match(log, /^\n--- Tovra started \S+Z ---\n\S+ Tovra bridge \S+ listening on http:\/\/localhost:4173\n/);
    const bannerTime = Date.parse(s.banners()[0]); // UTC whatever TZ says
    assert.ok(bannerTime >= startedAt && bannerTime <= Date.now(), `banner time ${s.banners()[0]}`);
    assert.equal(fs.statSync(s.logFile).mode & 0o777, 0o600);
    assert.equal(fs.statSync(s.dataDir).mode & 0o777, 0o700);
  });

  test('hands the server only its log and the inherited stdin, with no signal blocked', () => {
    const childFds = h.fds(server.pid);
    assert.equal(childFds[0], '/dev/null'); // the app's own stdin
    assert.equal(childFds[1], s.logFile);
    assert.equal(childFds[2], s.logFile);
    assert.deepEqual(Object.keys(childFds).filter((fd) => childFds[fd] === s.logFile), ['1', '2']);
    // Pipes and sockets are named by inode: none of the app's may reach the server.
    const appOwn = new Set(Object.values(h.fds(app.pid)).filter((target) => /^(pipe|socket):/.test(target)));
    assert.ok(appOwn.has(h.fds(app.pid)[3]), 'the app inherited no pipe at fd 3');
    assert.deepEqual(Object.values(childFds).filter((t) => appOwn.has(t)), []);
    assert.match(h.readOr(`/proc/${server.pid}/status`), /^SigBlk:\s+0+$/m);
  });

  test('opens the setup page once, remembers it, and registers the login item', async () => {
    await h.waitFor('the setup page to open', () => s.opened().length > 0);
    await h.sleep(2500); // several more health answers
    assert.deepEqual(s.opened(), [`http://localhost:${h.PORT}/setup`]);
    assert.match(h.readOr(s.settingsFile), /^TovraDidOpenSetupV1=true$/m);
    const entry = h.readOr(s.autostartFile);
    assert.match(entry, /^Type=Application$/m);
    assert.equal(/^Exec=(.*)$/m.exec(entry)?.[1].replace(/^"(.*)"$/, '$1'), h.BINARY);
    const validate = spawnSync('desktop-file-validate', [s.autostartFile], { encoding: 'utf8' });
    if (validate.error) return void console.log('desktop-file-validate not installed; entry not validated');
    assert.equal(validate.status, 0, validate.stdout + validate.stderr);
  });

  test('SIGTERM: the server is asked to stop, the app exits 0, nothing is relaunched', async () => {
    process.kill(app.pid, 'SIGTERM');
    assert.deepEqual(await s.exitOf(app), { code: 0, signal: null });
    await h.waitFor('the server to exit', () => !h.alive(server.pid));
    assert.match(s.log(), /Received SIGTERM/);
    await h.sleep(3000);
    assert.equal(s.banners().length, 1);
  });

  test('a second start in the same home keeps the login entry and opens no setup page', async () => {
    const entryInode = fs.statSync(s.autostartFile).ino;
    app = s.start(inherited);
    await h.waitFor('the second launch', () => s.banners().length === 2 && /listening[^]*listening/.test(s.log()));
    await h.waitFor('the server to answer /health', () => h.get(`http://localhost:${h.PORT}/health`));
    await h.sleep(3000); // several health answers
    assert.equal(s.opened().length, 1);
    assert.equal(fs.statSync(s.autostartFile).ino, entryInode);
    process.kill(app.pid, 'SIGTERM');
    assert.deepEqual(await s.exitOf(app), { code: 0, signal: null });
  });
});
