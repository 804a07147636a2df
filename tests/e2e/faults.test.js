'use strict';
// Leftovers and faults in the home, and a hostile server on the health port.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const h = require('./lib/harness');

const health = JSON.stringify({ version: '9', midiReady: true, midiPort: 'p', pairedClients: 1 });

test('a legacy agent is moved to Legacy/, a switched-off login entry is left alone', async (t) => {
  const s = await h.session();
  t.after(() => s.cleanup());
  const agent = path.join(s.home, 'Library', 'LaunchAgents', 'com.tovra.automation.plist');
  fs.mkdirSync(path.dirname(agent), { recursive: true });
  fs.writeFileSync(agent, '<plist>legacy</plist>\n');
  const entry = `[Desktop Entry]\nType=Application\nName=Tovra Bridge\nExec=${h.BINARY}\nHidden=true\n`;
  fs.mkdirSync(path.dirname(s.autostartFile), { recursive: true });
  fs.writeFileSync(s.autostartFile, entry);
  s.start();
  await h.waitFor('the server to answer', () => h.get(`http://localhost:${h.PORT}/health`));
  const moved = path.join(s.dataDir, 'Legacy', 'com.tovra.automation.plist');
  assert.equal(h.readOr(moved), '<plist>legacy</plist>\n');
  assert.deepEqual(fs.readdirSync(path.dirname(agent)), []);
  assert.equal(h.readOr(s.autostartFile), entry);
});

test('a plain file at ~/Library/Logs: the server still runs and the rest still works', async (t) => {
  const s = await h.session();
  t.after(() => s.cleanup());
  fs.mkdirSync(path.join(s.home, 'Library'), { recursive: true });
  fs.writeFileSync(path.dirname(s.logFile), 'not a folder\n');
  const app = s.start();
  await h.waitFor('the server to answer', () => h.get(`http://localhost:${h.PORT}/health`));
  await h.waitFor('the setup page to open', () => s.opened().length === 1);
  assert.equal(h.readOr(path.dirname(s.logFile)), 'not a folder\n');
  assert.match(h.readOr(s.autostartFile), /^Exec=/m);
  assert.equal(fs.statSync(s.dataDir).mode & 0o777, 0o700);
  assert.equal(app.exitCode, null);
});

test('odd answers on the health port never open the setup page and never stop the polling', async (t) => {
  const s = await h.session({ server: "console.log('idle server');\nsetInterval(() => {}, 60000);\n" });
  const big = Buffer.alloc(10 * 1024 * 1024, ' ');
  health.split('').forEach((c, i) => { big[i] = c.charCodeAt(0); }); // valid JSON, but over 1 MiB
  const odd = [
    (res) => res.end('garbage'),
    (res) => res.end(big),
    (res) => res.end(JSON.stringify({ version: '9', midiReady: 'true', midiPort: 'p', pairedClients: 1 })),
    (res) => res.end(JSON.stringify({ version: '9', midiReady: true, midiPort: 'p', pairedClients: 1.5 })),
    (res) => { res.writeHead(200, { 'Content-Length': health.length + 10 }); res.end(health); res.destroy(); },
  ];
  let requests = 0;
  let answerOf = (i) => odd[i]; // past the list: accept and never answer
  const unanswered = new Set();
  const handler = (req, res) => {
    res.on('error', () => {});
    const respond = answerOf(requests++);
    if (respond) return void respond(res);
    unanswered.add(res);
    res.on('close', () => unanswered.delete(res));
  };
  const servers = [];
  for (const host of ['127.0.0.1', '::1']) {
    const server = http.createServer(handler);
    await new Promise((resolve) => server.listen(h.PORT, host, resolve).on('error', resolve));
    servers.push(server);
  }
  t.after(async () => {
    for (const server of servers) server.closeAllConnections(), server.close();
    await s.cleanup();
  });
  const app = s.start();
  await h.waitFor('every odd answer to be fetched', () => requests > odd.length, { timeout: 20000 });
  const silentFrom = requests;
  await h.sleep(3000);
  assert.ok(requests - silentFrom >= 2, `${requests - silentFrom} requests in 3 s of no answers`);
  const stuck = [...unanswered];
  await h.waitFor('the app to give up on unanswered requests', () => stuck.every((res) => !unanswered.has(res)));
  assert.deepEqual(s.opened(), []);
  assert.doesNotMatch(h.readOr(s.settingsFile), /TovraDidOpenSetupV1=true/);
  assert.equal(app.exitCode, null, app.output);
  // The same port, a valid answer: now the page opens, so the silence above was meaningful.
  answerOf = () => (res) => res.end(health);
  await h.waitFor('the setup page to open', () => s.opened().length === 1);
});
