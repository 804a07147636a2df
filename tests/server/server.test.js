'use strict';
// Tests for the stand-in bridge server (resources/app/server.js).
// Run with: node --test tests/server/

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const APP_DIR = path.resolve(__dirname, '../../resources/app');
const SERVER = path.join(APP_DIR, 'server.js');
const bridge = require(SERVER);

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

function waitForExit(child, ms) {
  return new Promise((resolve, reject) => {
    if (child.exitCode !== null || child.signalCode !== null) {
      return resolve({ code: child.exitCode, signal: child.signalCode });
    }
    const timer = setTimeout(() => reject(new Error(`server still running after ${ms} ms`)), ms);
    child.once('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal });
    });
  });
}

// Spawns the server the way the tray app does and resolves once it is listening.
function startServer(port, dataDir, extraEnv = {}) {
  const child = spawn(process.execPath, [SERVER], {
    cwd: APP_DIR,
    env: { ...process.env, TOVRA_BACKGROUND: '1', TOVRA_DATA_DIR: dataDir, PORT: String(port), ...extraEnv },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  child.output = '';
  child.stdout.on('data', (d) => { child.output += d; });
  child.stderr.on('data', (d) => { child.output += d; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`server did not start:\n${child.output}`));
    }, 3000);
    child.stdout.on('data', () => {
      if (/listening on http:\/\/localhost:\d+/.test(child.output)) {
        clearTimeout(timer);
        resolve(child);
      }
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`server exited with ${code}:\n${child.output}`));
    });
  });
}

async function stopServer(child, signal = 'SIGTERM') {
  if (child.exitCode !== null || child.signalCode !== null) return;
  child.kill(signal);
  try {
    return await waitForExit(child, 2000);
  } catch (err) {
    child.kill('SIGKILL'); // never leave a stray server behind
    throw err;
  }
}

function request(port, urlPath, { method = 'GET', body, headers = {}, host = '127.0.0.1', agent = false } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host, port, path: urlPath, method, headers, agent }, (res) => {
      let data = '';
      res.setEncoding('utf8');
      res.on('data', (d) => { data += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

function postJson(port, value) {
  return request(port, '/api/pair', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(value),
  });
}

function tokenFromSetup(res) {
  return new URL(JSON.parse(res.body).phoneURL).hash.replace(/^#token=/, '');
}

describe('request predicates', () => {
  test('loopback check accepts only loopback peers', () => {
    for (const addr of ['127.0.0.1', '127.1.2.3', '::1', '::ffff:127.0.0.1', '::FFFF:127.0.0.2']) {
      assert.equal(bridge.isLoopback(addr), true, addr);
    }
    for (const addr of ['192.168.1.2', '::ffff:10.0.0.1', '10.127.0.1', '::2', 'fe80::1',
      '127.0.0.1.example.com', '', undefined, null]) {
      assert.equal(bridge.isLoopback(addr), false, String(addr));
    }
  });

  test('Host header check rejects non-local names', () => {
    for (const host of ['localhost:4173', 'LOCALHOST', '127.0.0.1:4173', '[::1]:4173', undefined]) {
      assert.equal(bridge.isLocalHostHeader(host), true, String(host));
    }
    for (const host of ['evil.example:4173', 'localhost.evil.example', '192.168.1.2:4173', '[fe80::1]:4173']) {
      assert.equal(bridge.isLocalHostHeader(host), false, host);
    }
  });

  test('token comparison', () => {
    const token = 'a'.repeat(43);
    assert.equal(bridge.tokensMatch(token, token), true);
    assert.equal(bridge.tokensMatch('a'.repeat(42) + 'b', token), false);
    assert.equal(bridge.tokensMatch('a'.repeat(42), token), false);
    assert.equal(bridge.tokensMatch(undefined, token), false);
    assert.equal(bridge.tokensMatch(43, token), false);
  });

  test('setup page escapes the link', () => {
    const html = bridge.renderSetupPage('http://x/?a=<b>&c="d"\'');
    assert.ok(html.includes('http://x/?a=&lt;b&gt;&amp;c=&quot;d&quot;&#39;'));
    assert.ok(!html.includes('<b>'));
  });
});

describe('running server', () => {
  let tmp, dataDir, port, server;

  before(async () => {
    tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-server-test-'));
    dataDir = path.join(tmp, 'nested', 'Tovra Automation');
    port = await freePort();
    server = await startServer(port, dataDir);
  });

  after(async () => {
    if (server) await stopServer(server);
    fs.rmSync(tmp, { recursive: true, force: true });
  });

  test('/health has exactly the expected keys and types', async () => {
    const res = await request(port, '/health');
    assert.equal(res.status, 200);
    assert.equal(res.headers['content-type'], 'application/json');
    assert.equal(res.headers['cache-control'], 'no-store');
    const health = JSON.parse(res.body);
    assert.deepEqual(Object.keys(health).sort(), ['midiPort', 'midiReady', 'pairedClients', 'version']);
    assert.equal(typeof health.version, 'string');
    assert.ok(health.version.length > 0);
    assert.equal(health.midiReady, true);
    assert.equal(health.midiPort, 'Tovra Virtual MIDI');
    assert.equal(health.pairedClients, 0);
  });

  test('answers on ::1 as well when IPv6 loopback exists', async (t) => {
    let res;
    try {
      res = await request(port, '/health', { host: '::1' });
    } catch (err) {
      if (err.code === 'EADDRNOTAVAIL' || err.code === 'EAFNOSUPPORT') return t.skip('no ::1 here');
      throw err;
    }
    assert.equal(res.status, 200);
  });

  test('does not listen on the LAN address', async (t) => {
    const lan = Object.values(os.networkInterfaces()).flat()
      .find((a) => a && a.family === 'IPv4' && !a.internal);
    if (!lan) return t.skip('no non-internal IPv4 address');
    await assert.rejects(request(port, '/health', { host: lan.address }), { code: 'ECONNREFUSED' });
  });

  test('/api/setup creates and persists the pairing token privately', async () => {
    assert.equal(fs.existsSync(dataDir), false);
    const res = await request(port, '/api/setup');
    assert.equal(res.status, 200);
    assert.equal(res.headers['content-type'], 'application/json');
    assert.equal(res.headers['cache-control'], 'no-store');
    const { phoneURL } = JSON.parse(res.body);
    assert.equal(typeof phoneURL, 'string');
    const url = new URL(phoneURL);
    assert.equal(url.protocol, 'http:');
    assert.equal(url.port, String(port));
    assert.equal(url.pathname, '/controller');
    const token = tokenFromSetup(res);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    assert.equal(Buffer.from(token, 'base64url').length, 32);

    assert.equal(fs.statSync(dataDir).mode & 0o777, 0o700);
    const file = path.join(dataDir, 'pairing.json');
    assert.equal(fs.statSync(file).mode & 0o777, 0o600);
    assert.equal(JSON.parse(fs.readFileSync(file, 'utf8')).token, token);
    assert.deepEqual(fs.readdirSync(dataDir), ['pairing.json']); // no temp file left behind

    const again = await request(port, '/api/setup');
    assert.equal(JSON.parse(again.body).phoneURL, phoneURL);
  });

  test('private endpoints refuse foreign Host headers', async () => {
    for (const p of ['/api/setup', '/setup']) {
      const res = await request(port, p, { headers: { Host: `attacker.example:${port}` } });
      assert.equal(res.status, 403, p);
      assert.ok(!res.body.includes('token='), p);
    }
    const ok = await request(port, '/api/setup', { headers: { Host: `localhost:${port}` } });
    assert.equal(ok.status, 200);
  });

  test('/setup shows the phone link as escaped text', async () => {
    const { phoneURL } = JSON.parse((await request(port, '/api/setup')).body);
    const res = await request(port, '/setup');
    assert.equal(res.status, 200);
    assert.equal(res.headers['content-type'], 'text/html; charset=utf-8');
    assert.equal(res.headers['cache-control'], 'no-store');
    assert.ok(res.body.includes(bridge.escapeHtml(phoneURL)));
    assert.match(res.body, /Open this link on your phone/);
    assert.doesNotMatch(res.body, /\s(src|href)=/i); // self-contained
  });

  test('/controller serves the pairing page', async () => {
    const res = await request(port, '/controller?x=1');
    assert.equal(res.status, 200);
    assert.equal(res.headers['content-type'], 'text/html; charset=utf-8');
    assert.match(res.body, /\/api\/pair/);
    assert.ok(!res.body.includes(tokenFromSetup(await request(port, '/api/setup'))));
  });

  test('unknown paths are 404, wrong methods 405', async () => {
    for (const p of ['/', '/nope', '/health/', '/api/setup/x', '/constructor']) {
      const res = await request(port, p);
      assert.equal(res.status, 404, p);
      assert.equal(res.headers['cache-control'], 'no-store');
    }
    for (const [method, p] of [['POST', '/health'], ['DELETE', '/api/setup'], ['PUT', '/setup'],
      ['GET', '/api/pair'], ['POST', '/controller'], ['HEAD', '/health']]) {
      const res = await request(port, p, { method });
      assert.equal(res.status, 405, `${method} ${p}`);
    }
    assert.equal((await request(port, '/api/pair')).headers.allow, 'POST');
  });

  test('pairing needs the right token and counts each client once', async () => {
    const token = tokenFromSetup(await request(port, '/api/setup'));
    const wrong = token.slice(0, -1) + (token.endsWith('A') ? 'B' : 'A');
    const health = async () => JSON.parse((await request(port, '/health')).body).pairedClients;

    assert.equal((await postJson(port, { token: wrong, clientId: 'phone-one-0001' })).status, 403);
    assert.equal((await postJson(port, { token: token.slice(1), clientId: 'phone-one-0001' })).status, 403);
    assert.equal((await postJson(port, { clientId: 'phone-one-0001' })).status, 403);
    assert.equal((await postJson(port, { token })).status, 400);
    assert.equal((await request(port, '/api/pair', { method: 'POST', body: '{not json' })).status, 400);
    assert.equal(await health(), 0);

    const first = await postJson(port, { token, clientId: 'phone-one-0001' });
    assert.equal(first.status, 200);
    assert.equal(JSON.parse(first.body).pairedClients, 1);
    assert.equal(await health(), 1);
    assert.equal((await postJson(port, { token, clientId: 'phone-one-0001' })).status, 200);
    assert.equal(await health(), 1);
    assert.equal((await postJson(port, { token, clientId: 'phone-two-0002' })).status, 200);
    assert.equal(await health(), 2);
  });

  test('pairing caps the count of remembered clients', async () => {
    const token = tokenFromSetup(await request(port, '/api/setup'));
    for (let i = 0; i < 70; i++) {
      assert.equal((await postJson(port, { token, clientId: `cap-client-${i}` })).status, 200);
    }
    assert.equal(JSON.parse((await request(port, '/health')).body).pairedClients, 64);
  });

  test('oversized bodies are refused with 413', async () => {
    const token = tokenFromSetup(await request(port, '/api/setup'));
    const big = JSON.stringify({ token, clientId: 'phone-big-0001', pad: 'x'.repeat(5000) });
    const declared = await request(port, '/api/pair', { method: 'POST', body: big });
    assert.equal(declared.status, 413);
    // Chunked upload: no Content-Length to reject up front.
    const chunked = await request(port, '/api/pair', {
      method: 'POST', body: big, headers: { 'Transfer-Encoding': 'chunked' },
    });
    assert.equal(chunked.status, 413);
  });

  test('log output never contains the token or the phone link', async () => {
    const token = tokenFromSetup(await request(port, '/api/setup'));
    assert.match(server.output, /listening on http:\/\/localhost:/);
    assert.match(server.output, /paired/i);
    assert.ok(!server.output.includes(token));
    assert.ok(!server.output.includes('/controller'));
  });

  test('SIGTERM exits 0 promptly with open connections', async () => {
    const agent = new http.Agent({ keepAlive: true });
    const res = await request(port, '/health', { agent });
    assert.equal(res.headers.connection, 'keep-alive');
    assert.equal(Object.values(agent.freeSockets).flat().length, 1); // idle socket still open
    // A client stuck halfway through its headers keeps a connection busy.
    const stalled = net.connect(port, '127.0.0.1');
    stalled.on('error', () => {});
    await new Promise((resolve) => stalled.once('connect', resolve));
    stalled.write('GET /health HTTP/1.1\r\nHost: localhost\r\n');
    const started = Date.now();
    const exited = stopServer(server);
    const { code } = await exited;
    assert.equal(code, 0);
    assert.ok(Date.now() - started < 2000, `took ${Date.now() - started} ms`);
    agent.destroy();
    stalled.destroy();
  });

  test('restart reuses the token; TOVRA_FAKE_MIDI=0 reports no MIDI', async () => {
    const token = JSON.parse(fs.readFileSync(path.join(dataDir, 'pairing.json'), 'utf8')).token;
    server = await startServer(port, dataDir, { TOVRA_FAKE_MIDI: '0' });
    assert.equal(tokenFromSetup(await request(port, '/api/setup')), token);
    const health = JSON.parse((await request(port, '/health')).body);
    assert.equal(health.midiReady, false);
    assert.equal(health.midiPort, '');
    assert.equal(health.pairedClients, 0); // pairings are kept in memory only
    assert.deepEqual(await stopServer(server, 'SIGINT'), { code: 0, signal: null });
  });
});

describe('startup failures', () => {
  test('a port already in use exits with status 1', async () => {
    const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tovra-server-test-'));
    const blocker = net.createServer();
    await new Promise((resolve) => blocker.listen(0, '127.0.0.1', resolve));
    let child;
    try {
      child = spawn(process.execPath, [SERVER], {
        cwd: APP_DIR,
        env: { ...process.env, TOVRA_DATA_DIR: tmp, PORT: String(blocker.address().port) },
        stdio: ['ignore', 'pipe', 'pipe'],
      });
      let stderr = '';
      child.stderr.on('data', (d) => { stderr += d; });
      const { code } = await waitForExit(child, 3000);
      assert.equal(code, 1);
      assert.match(stderr, /already in use/);
    } finally {
      if (child && child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      blocker.close();
      fs.rmSync(tmp, { recursive: true, force: true });
    }
  });
});
