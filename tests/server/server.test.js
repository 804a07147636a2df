'use strict';
// The bridge server's routes and guards, its pairing and its life (the build's staged server;
// run: node --test tests/server/). MIDI has tests of its own beside this file.
// As root the file reruns itself in a network namespace of its own with two addresses on one
// interface (an empty bridge: the dummy driver is not in every kernel), to reach the server as a
// phone does; elsewhere that one test is skipped.
const { spawn, spawnSync } = require('node:child_process');
const LAN = ['10.77.0.1', '10.77.0.2'];
const NETNS = 'ip link set lo up && ip link add tovra0 type bridge && ip link set tovra0 up && ' +
  LAN.map((address) => `ip addr add ${address}/24 dev tovra0`).join(' && ');
const probe = !process.env.TOVRA_TEST_NETNS && spawnSync('unshare', ['-n', 'sh', '-c', NETNS], { encoding: 'utf8' });
if (probe?.status === 0) {
  const args = ['-n', 'sh', '-c', `${NETNS} && exec "$0" "$@"`, process.execPath, ...process.execArgv, __filename];
  process.exit(spawnSync('unshare', args, { stdio: 'inherit', env: { ...process.env, TOVRA_TEST_NETNS: '1' } }).status ?? 1);
}
const noNetns = probe && `cannot make a network namespace (needs root): ${String(probe.stderr || probe.error).trim()}`;

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, freePort, request, statusOf, jsonOf, tempDir, APP_DIR } = require('./start');
const { Phone } = require('../support/phone');
const routes = require(path.join(APP_DIR, 'routes.js'));
const pages = require(path.join(APP_DIR, 'pages.js'));
const phoneUrlOf = async (port) => new URL((await jsonOf(port, '/api/setup')).phoneURL);
const PRIVATE = ['/health', '/api/setup', '/setup', '/api/phones'];

test('peer and Host predicates let only loopback through, Host only in well-formed shapes', () => {
  const table = [
    [routes.isLoopback, true, ['127.0.0.1', '127.9.8.7', '::1', '::ffff:127.0.0.1', '::FFFF:127.0.0.2']],
    [routes.isLoopback, false, ['10.127.0.1', '::ffff:10.0.0.1', 'fe80::1', '127.0.0.1.evil.example', undefined]],
    [routes.isLocalHostHeader, true, ['localhost', 'LOCALHOST:4173', '127.0.0.1', '127.1.2.3:80', '[::1]', '[::1]:4173', undefined]],
    [routes.isLocalHostHeader, false, ['evil.example', 'localhost.evil.example', '192.168.1.2', '[fe80::1]', '::1',
      '[fe80::1]:80', '[localhostX', 'localhost:80x', 'localhost:', '[::1', '[::1]x', '127.0.0.1.evil', '127.1']],
  ];
  for (const [check, want, inputs] of table) inputs.forEach((x) => assert.equal(check(x), want, `${check.name}(${x})`));
});

test('the own origin is plain HTTP to a loopback name on the port, nothing more', () => {
  for (const [origin, want] of [['http://localhost:4173', true], ['http://127.0.0.1:4173', true], ['http://[::1]:4173', true],
    ['http://127.0.0.2:4173', true], ['https://localhost:4173', false], ['http://localhost:4174', false],
    ['http://localhost', false], ['http://evil.example:4173', false], ['null', false], ['http://localhost:4173/', false],
    ['http://user@localhost:4173', false], ['http://127.0.0.1.evil:4173', false], ['http://[fe80::1]:4173', false],
    ['', false], [undefined, false]]) {
    assert.equal(routes.isOwnOrigin(origin, 4173), want, String(origin));
  }
});

describe('running server', () => {
  let tmp, dataDir, port, server, token;
  before(async () => {
    tmp = tempDir();
    dataDir = path.join(tmp, 'nested', 'Tovra Automation');
    port = await freePort();
    server = await startServer(port, dataDir).ready;
  });
  after(() => { server?.kill('SIGKILL'); fs.rmSync(tmp, { recursive: true, force: true }); });
  test('/health and /api/setup answer in shape, the token kept private; /setup shows the link escaped', async () => {
    const version = /project\(TovraBridge VERSION (\S+)/.exec(fs.readFileSync(`${__dirname}/../../CMakeLists.txt`, 'utf8'))[1];
    assert.deepEqual(await jsonOf(port, '/health'), { version, midiReady: false, midiPort: '', pairedClients: 0 });
    for (const p of PRIVATE) assert.equal(await statusOf(port, p, { headers: { Host: 'evil.example' } }), 403, p);
    const url = await phoneUrlOf(port);
    token = url.searchParams.get('token');
    assert.deepEqual([url.protocol, url.port, url.pathname, url.hash], ['http:', String(port), '/controller', '']);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    const file = path.join(dataDir, 'pairing.json');
    assert.deepEqual([JSON.parse(fs.readFileSync(file, 'utf8')).token, fs.readdirSync(dataDir)], [token, ['pairing.json']]);
    assert.deepEqual([fs.statSync(file).mode & 0o777, fs.statSync(dataDir).mode & 0o777], [0o600, 0o700]);
    assert.ok((await request(port, '/setup')).body.includes(pages.escapeHtml(url.href)));
    const page = pages.renderSetupPage({ link: 'http://127.0.0.1:4173/controller?token=a"<b>', reachable: false, outputs: [],
      phones: [{ id: 'i"d', name: 'x"<b>&\'', pairedAt: '2026-01-02T03:04:05Z', connected: 1 }] });
    for (const escaped of ['x&quot;&lt;b&gt;&amp;&#39;', 'data-forget="i&quot;d"', 'token=a&quot;&lt;b&gt;</code>']) assert.ok(page.includes(escaped), escaped);
    assert.doesNotMatch(page, /x"<b>|token=a"<b>/);
  });

  test('the setup page: the link as a QR code and beneath it, a note where no phone can reach it, and every paired phone', async () => {
    const page = (await request(port, '/setup')).body;
    const link = (await phoneUrlOf(port)).href;
    assert.match(page, /<div class="qr"><svg xmlns="http:\/\/www\.w3\.org\/2000\/svg" viewBox="0 0 (\d+) \1" role="img"/);
    assert.ok(page.indexOf('<svg') < page.indexOf(`<code id="phone-link">${pages.escapeHtml(link)}</code>`));
    assert.equal(/id="no-network"/.test(page), new URL(link).hostname === '127.0.0.1');
    const rendered = (reachable) => pages.renderSetupPage({ link: 'http://127.0.0.1:1/controller?token=t', reachable, phones: [], outputs: [] });
    assert.match(rendered(false), /<b>No network:<\/b> this computer has no address a phone can\nreach, only its own \(127\.0\.0\.1\)/);
    assert.doesNotMatch(rendered(true), /No network/);
    assert.match(rendered(true), /No phone is paired yet/);
    const phones = [{ id: 'a', name: 'Pixel 8 \u00B7 Chrome', pairedAt: '2026-12-07T10:11:12Z', connected: 1 },
      { id: 'b', name: 'iPhone \u00B7 Safari', pairedAt: '2026-12-08T00:00:00Z', connected: 0 }];
    const listed = pages.renderSetupPage({ link: 'http://10.0.0.1:1/controller?token=t', reachable: true, phones, outputs: [] });
    assert.deepEqual([...listed.matchAll(/<span class="phone-name">([^<]*)<\/span>\n<span class="phone-detail">Paired <time datetime="([^"]*)">[^<]*<\/time>( \u00B7 <span class="online">Connected<\/span>)?/g)]
      .map((m) => [m[1], m[2], Boolean(m[3])]), [['Pixel 8 \u00B7 Chrome', '2026-12-07T10:11:12Z', true], ['iPhone \u00B7 Safari', '2026-12-08T00:00:00Z', false]]);
    assert.deepEqual([...listed.matchAll(/data-forget="([^"]*)"/g)].map((m) => m[1]), ['a', 'b']);
    assert.match(listed, /data-signature="a:1,b:0"/);
  });

  test('the controller needs the token; pairing with it gives a phone its secret', async () => {
    for (const q of ['', `?token=${token.slice(1)}A`]) assert.equal(await statusOf(port, `/controller${q}`), 403, q);
    for (const [given, status, count] of [[`${token.slice(1)}A`, 403, 0], [token, 200, 1], [token, 200, 2]]) {
      const answer = await request(port, '/api/pair', { method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ token: given }) });
      assert.equal(answer.status, status);
      if (status === 200) assert.match(JSON.parse(answer.body).secret, /^[A-Za-z0-9_-]{43}$/);
      assert.equal((await jsonOf(port, '/health')).pairedClients, count);
    }
  });

  test('from a second network address the link works and nothing private answers', { skip: noNetns }, async () => {
    const url = await phoneUrlOf(port);
    assert.equal(url.hostname, LAN[0]);
    // A loopback Host, so that only the peer's address is left to refuse the private endpoints.
    const phone = { host: url.hostname, localAddress: LAN[1], headers: { Host: `localhost:${port}` } };
    for (const [p, status] of [[url.pathname + url.search, 200], ['/controller', 403], ...PRIVATE.map((p) => [p, 403])]) {
      assert.equal(await statusOf(port, p, phone), status, p);
    }
    for (const p of ['/api/phones/forget-all', '/api/phones/forget', '/api/midi']) {
      assert.equal(await statusOf(port, p, { ...phone, method: 'POST', headers: { ...phone.headers, 'Content-Type': 'application/json' }, body: '{}' }), 403, p);
    }
    // A phone on the network pairs and plays as the page does, with the link's own origin.
    const lanPhone = new Phone(url.href, { localAddress: LAN[1] });
    assert.equal((await lanPhone.pair()).status, 200);
    const socket = await lanPhone.connect();
    assert.equal(socket.protocol, 'tovra');
    socket.close();
    assert.deepEqual(await new Phone(url.href, { localAddress: LAN[1] }).connect({ origin: `http://localhost:${port}` }), { status: 403 });
  });

  test('a second server on the port exits 1; SIGTERM exits 0; the token outlives it', async () => {
    const second = startServer(port, dataDir);
    second.ready.catch(() => {});
    assert.deepEqual([(await second.exited).code, /already in use/.test(second.output)], [1, true]);
    server.kill('SIGTERM');
    assert.deepEqual(await server.exited, { code: 0, signal: null });
    server = await startServer(port, dataDir).ready;
    assert.equal((await phoneUrlOf(port)).searchParams.get('token'), token);
  });
});
