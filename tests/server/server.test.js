'use strict';
// The bridge server's routes and guards, its setup page and its life (the build's staged server;
// run: node --test tests/server/). As root the file runs in a network namespace of its own, to
// reach the server from a second address as a phone does; elsewhere that one test is skipped.
const { ownNetwork } = require('../support/network');
const network = ownNetwork(__filename);

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

test('peer, Host and Origin predicates let only loopback through, in well-formed shapes', () => {
  const own = (origin) => routes.isOwnOrigin(origin, 4173);
  const table = [
    [routes.isLoopback, true, ['127.9.8.7', '::1', '::FFFF:127.0.0.2']],
    [routes.isLoopback, false, ['10.127.0.1', '::ffff:10.0.0.1', '127.0.0.1.evil.example', undefined]],
    [routes.isLocalHostHeader, true, ['LOCALHOST:4173', '127.1.2.3:80', '[::1]:4173', undefined]],
    [routes.isLocalHostHeader, false, ['localhost.evil.example', '192.168.1.2', '[fe80::1]', '::1', 'localhost:80x', '[::1]x', '127.1']],
    [own, true, ['http://localhost:4173', 'http://127.0.0.2:4173', 'http://[::1]:4173']],
    [own, false, ['https://localhost:4173', 'http://localhost:4174', 'http://localhost', 'http://evil.example:4173', 'null',
      'http://localhost:4173/', 'http://user@localhost:4173', '', undefined]],
  ];
  for (const [check, want, inputs] of table) inputs.forEach((x) => assert.equal(check(x), want, `${check.name}(${x})`));
});

describe('running server', () => {
  let tmp, dataDir, port, server;
  before(async () => {
    tmp = tempDir();
    dataDir = path.join(tmp, 'nested', 'Tovra Automation');
    port = await freePort();
    server = await startServer(port, dataDir).ready;
  });
  after(() => { server?.kill('SIGKILL'); fs.rmSync(tmp, { recursive: true, force: true }); });

  test('/health and /api/setup answer in shape to this computer alone; the token is kept private', async () => {
    const version = /project\(TovraBridge VERSION (\S+)/.exec(fs.readFileSync(`${__dirname}/../../CMakeLists.txt`, 'utf8'))[1];
    assert.deepEqual(await jsonOf(port, '/health'), { version, midiReady: false, midiPort: '', pairedClients: 0 });
    for (const p of PRIVATE) assert.equal(await statusOf(port, p, { headers: { Host: 'evil.example' } }), 403, p);
    const url = await phoneUrlOf(port);
    const token = url.searchParams.get('token');
    assert.deepEqual([url.protocol, url.port, url.pathname, url.hash], ['http:', String(port), '/controller', '']);
    assert.match(token, /^[A-Za-z0-9_-]{43}$/);
    const file = path.join(dataDir, 'pairing.json');
    assert.deepEqual([JSON.parse(fs.readFileSync(file, 'utf8')).token, fs.readdirSync(dataDir)], [token, ['pairing.json']]);
    assert.deepEqual([fs.statSync(file).mode & 0o777, fs.statSync(dataDir).mode & 0o777], [0o600, 0o700]);
  });

  // Its QR code, link and note as served: tests/e2e/browser.test.js, which reads them in a browser.
  test('the setup page: a note where no phone can reach the link, every phone, all escaped', () => {
    const render = (reachable, phones = []) => pages.renderSetupPage({ link: 'http://127.0.0.1:1/controller?token=a"<b>', reachable, phones, outputs: [] });
    assert.match(render(false), /<b>No network:<\/b> this computer has no address a phone can\nreach, only its own \(127\.0\.0\.1\)/);
    assert.doesNotMatch(render(true), /No network/);
    assert.match(render(true), /No phone is paired yet/);
    const listed = render(true, [{ id: 'i"d', name: 'x"<b>&\'', pairedAt: '2026-12-07T10:11:12Z', connected: 1 },
      { id: 'b', name: 'iPhone \u00B7 Safari', pairedAt: '2026-12-08T00:00:00Z', connected: 0 }]);
    assert.deepEqual([...listed.matchAll(/<span class="phone-name">([^<]*)<\/span>\n<span class="phone-detail">Paired <time datetime="([^"]*)">[^<]*<\/time>( \u00B7 <span class="online">Connected<\/span>)?/g)]
      .map((m) => [m[1], m[2], Boolean(m[3])]), [['x&quot;&lt;b&gt;&amp;&#39;', '2026-12-07T10:11:12Z', true], ['iPhone \u00B7 Safari', '2026-12-08T00:00:00Z', false]]);
    assert.deepEqual([...listed.matchAll(/data-forget="([^"]*)"/g)].map((m) => m[1]), ['i&quot;d', 'b']);
    assert.match(listed, /data-signature="i&quot;d:1,b:0"/);
    assert.ok(listed.includes('token=a&quot;&lt;b&gt;</code>'));
    assert.doesNotMatch(listed, /x"<b>|token=a"<b>/);
  });

  test('from a second network address the link works and nothing private answers', { skip: network.reason }, async () => {
    const [lan, phoneAddress] = network.addresses;
    const url = await phoneUrlOf(port);
    assert.equal(url.hostname, lan);
    // A loopback Host, so that only the peer's address is left to refuse the private endpoints.
    const phone = { host: url.hostname, localAddress: phoneAddress, headers: { Host: `localhost:${port}` } };
    for (const [p, status] of [[url.pathname + url.search, 200], ['/controller', 403], ...PRIVATE.map((p) => [p, 403])]) {
      assert.equal(await statusOf(port, p, phone), status, p);
    }
    for (const p of ['/api/phones/forget-all', '/api/phones/forget', '/api/midi']) {
      assert.equal(await statusOf(port, p, { ...phone, method: 'POST', headers: { ...phone.headers, 'Content-Type': 'application/json' }, body: '{}' }), 403, p);
    }
    // A phone on the network pairs and plays as the page does, with the link's own origin.
    const lanPhone = new Phone(url.href, { localAddress: phoneAddress });
    assert.equal((await lanPhone.pair()).status, 200);
    const socket = await lanPhone.connect();
    assert.equal(socket.protocol, 'tovra');
    socket.close();
    assert.deepEqual(await new Phone(url.href, { localAddress: phoneAddress }).connect({ origin: `http://localhost:${port}` }), { status: 403 });
  });

  // That the token outlives the server: the pairing's tests in phones.test.js.
  test('a second server on the port exits 1; SIGTERM exits 0', async () => {
    const second = startServer(port, dataDir);
    second.ready.catch(() => {});
    assert.deepEqual([(await second.exited).code, /already in use/.test(second.output)], [1, true]);
    server.kill('SIGTERM');
    assert.deepEqual(await server.exited, { code: 0, signal: null });
  });
});
