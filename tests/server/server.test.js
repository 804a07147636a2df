'use strict';
// Tests for the stand-in bridge server (resources/app/server.js). Run: node --test tests/server/
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const APP_DIR = path.resolve(__dirname, '../../resources/app');
const bridge = require(path.join(APP_DIR, 'server.js'));

// Spawns the server as the tray app does; `ready` resolves once it listens, `exited` on exit.
function startServer(port, dataDir) {
  const child = spawn(process.execPath, [path.join(APP_DIR, 'server.js')], {
    cwd: APP_DIR, stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: dataDir, PORT: String(port) },
  });
  child.output = '';
  child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  child.ready = new Promise((resolve, reject) => {
    const onData = (d) => { child.output += d; if (/listening on http/.test(child.output)) resolve(child); };
    for (const stream of [child.stdout, child.stderr]) stream.on('data', onData);
    child.exited.then(({ code }) => reject(new Error(`server exited with ${code}:\n${child.output}`)));
  });
  return child;
}

// The exit, or SIGKILL and a failure after 5 s (a bound against hanging, not a speed check).
const exitOf = (child) => Promise.race([child.exited, new Promise((_, reject) => setTimeout(() => {
  if (child.kill('SIGKILL')) reject(new Error('server still running after 5 s'));
}, 5000).unref())]);

function request(port, urlPath, { method = 'GET', body, headers = {}, agent = false } = {}) {
  return new Promise((resolve, reject) => {
    http.request({ host: '127.0.0.1', port, path: urlPath, method, headers, agent }, (res) => {
      let data = '';
      res.setEncoding('utf8').on('data', (d) => { data += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    }).on('error', reject).end(body);
  });
}
const pair = (port, value) => request(port, '/api/pair', { method: 'POST', body: JSON.stringify(value) });
const phoneUrlOf = async (port) => new URL(JSON.parse((await request(port, '/api/setup')).body).phoneURL);
const tokenOf = async (port) => (await phoneUrlOf(port)).hash.replace(/^#token=/, '');

test('loopback predicate: only loopback peers and local Host names pass', () => {
  const table = [
    [bridge.isLoopback, true, ['127.0.0.1', '127.9.8.7', '::1', '::ffff:127.0.0.1', '::FFFF:127.0.0.2']],
    [bridge.isLoopback, false, ['10.127.0.1', '::ffff:10.0.0.1', 'fe80::1', '127.0.0.1.evil.example', undefined]],
    [bridge.isLocalHostHeader, true, ['localhost:4173', 'LOCALHOST', '[::1]:4173', undefined]],
    [bridge.isLocalHostHeader, false, ['evil.example', 'localhost.evil.example', '192.168.1.2', '[fe80::1]:80']],
  ];
  for (const [check, expected, inputs] of table) {
    for (const input of inputs) assert.equal(check(input), expected, `${check.name}(${input})`);
  }
});

describe('running server', () => {
  let tmp, dataDir, port, server;
  before(async () => {
    tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-server-test-'));
    dataDir = path.join(tmp, 'nested', 'Tovra Automation');
    const probe = net.createServer();
    await new Promise((resolve) => probe.listen(0, '127.0.0.1', resolve));
    port = probe.address().port;
    probe.close();
    server = await startServer(port, dataDir).ready;
  });
  after(() => {
    if (server && server.exitCode === null && server.signalCode === null) server.kill('SIGKILL');
    fs.rmSync(tmp, { recursive: true, force: true });
  });

  test('/health has exactly the expected keys and types', async () => {
    const health = JSON.parse((await request(port, '/health')).body);
    assert.deepEqual(Object.keys(health).sort(), ['midiPort', 'midiReady', 'pairedClients', 'version']);
    assert.match(health.version, /\S/);
    assert.deepEqual([health.midiReady, health.midiPort, health.pairedClients], [true, 'Tovra Virtual MIDI', 0]);
  });

  test('/api/setup carries the stored private token; /setup shows the link escaped', async () => {
    const url = await phoneUrlOf(port);
    assert.deepEqual([url.protocol, url.port, url.pathname], ['http:', String(port), '/controller']);
    const token = await tokenOf(port);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    const file = path.join(dataDir, 'pairing.json');
    assert.equal(JSON.parse(fs.readFileSync(file, 'utf8')).token, token);
    assert.equal(fs.statSync(file).mode & 0o777, 0o600);
    assert.equal(fs.statSync(dataDir).mode & 0o777, 0o700);
    assert.deepEqual(fs.readdirSync(dataDir), ['pairing.json']);
    assert.ok((await request(port, '/setup')).body.includes(bridge.escapeHtml(url.href)));
    assert.equal((await request(port, '/setup', { headers: { Host: 'evil.example' } })).status, 403);
    assert.ok(bridge.renderSetupPage('x"<b>&\'').includes('x&quot;&lt;b&gt;&amp;&#39;'));
  });

  test('pairing: a wrong token is refused, the right one counts each client once', async () => {
    const token = await tokenOf(port);
    const paired = async () => JSON.parse((await request(port, '/health')).body).pairedClients;
    const wrong = token.slice(0, -1) + (token.endsWith('A') ? 'B' : 'A');
    assert.equal((await pair(port, { token: wrong, clientId: 'phone-0001' })).status, 403);
    assert.equal(await paired(), 0);
    assert.equal((await pair(port, { token, clientId: 'phone-0001' })).status, 200);
    assert.equal((await pair(port, { token, clientId: 'phone-0001' })).status, 200);
    assert.equal(await paired(), 1);
    assert.equal((await pair(port, { token, clientId: 'phone-0002' })).status, 200);
    assert.equal(await paired(), 2);
  });

  test('a second server on the same port exits with status 1', async () => {
    const second = startServer(port, dataDir);
    second.ready.catch(() => {});
    assert.equal((await exitOf(second)).code, 1);
    assert.match(second.output, /already in use/);
  });

  test('SIGTERM exits 0 with an open keep-alive connection; a restart keeps the token', async () => {
    const token = await tokenOf(port);
    const agent = new http.Agent({ keepAlive: true });
    assert.equal((await request(port, '/health', { agent })).headers.connection, 'keep-alive');
    assert.equal(Object.values(agent.freeSockets).flat().length, 1);
    server.kill('SIGTERM');
    assert.deepEqual(await exitOf(server), { code: 0, signal: null });
    agent.destroy();
    server = await startServer(port, dataDir).ready;
    assert.equal(await tokenOf(port), token);
  });
});
